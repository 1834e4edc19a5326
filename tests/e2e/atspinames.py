# Starts the program given on the command line and prints, once its window is in the desktop's
# accessibility tree, the role and name of every object in it, one "role<TAB>name" a line.
import subprocess, sys, time
import pyatspi


def tree(node):
    for child in filter(None, node):
        yield child
        yield from tree(child)


program = subprocess.Popen(sys.argv[1:])
try:
    seen, deadline = [], time.time() + 30
    # Seven boxes and two lists, once Qt has exported the window.
    while sum(role in ("text", "combo box") for role, _ in seen) < 9 and time.time() < deadline:
        time.sleep(0.5)
        for app in filter(None, pyatspi.Registry.getDesktop(0)):
            if app.get_process_id() == program.pid:
                seen = [(o.getRoleName(), o.name) for o in tree(app)]
    print("\n".join(f"{role}\t{name}" for role, name in seen))
finally:
    program.terminate()
    program.wait(10)
