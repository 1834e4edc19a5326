# Starts the program given on the command line and prints, once its window is in the desktop's
# accessibility tree, the role and name of every object in it, one "role<TAB>name" a line.
import subprocess
import sys
import time

import pyatspi

WANTED = 9  # seven boxes and two lists


def tree(node):
    for child in node:
        if child is not None:
            yield child
            yield from tree(child)


program = subprocess.Popen(sys.argv[1:])
try:
    seen = []
    deadline = time.time() + 30
    while time.time() < deadline and program.poll() is None:
        time.sleep(0.5)
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.get_process_id() == program.pid:
                seen = [(o.getRoleName(), o.name) for o in tree(app)]
        if sum(role in ("text", "combo box") for role, _ in seen) >= WANTED:
            break
    for role, name in seen:
        print(f"{role}\t{name}")
finally:
    program.terminate()
    program.wait(10)
