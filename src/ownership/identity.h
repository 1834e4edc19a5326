#pragma once

// Every place where the program decides that something is its own, or the same thing as before,
// with the key it uses and why nothing else can have that key. Where the kernel gives no such
// key the program refuses or judges by what it can see, never by a guess.
//
// - A test file (leftoverrule.h, claim.h, journal.h, ownfiles.h). Key: a record written before the
// file
//   exists, completed by device and inode together with the birth time (statx) or the inode's
//   generation number (FS_IOC_GETVERSION). A later file at the same name may get the same inode
//   number, never the same birth time or generation. ext4 with 128-byte inodes, ext2 and ext3
//   give a generation only, tmpfs a birth time only, btrfs both. A record with neither (many
//   FUSE file systems) does not vouch: the file is judged by its content alone. The identity is
//   learned inside a timed phase and written after it, so a process killed within the phase
//   leaves a record without identity: its file, too, is judged by its content. A file is taken
//   back only while its name still names it with the links it was judged by. Within a run, the
//   run's files are held by the identity the kernel gave them as they were created, and deleted
//   only while their name still names that file (ownfiles.h).
// - A folder of the program's (folders.h): the cache folder counts as the program's own only
//   where the program made it and recorded its identity (as a file's, above) in the state
//   folder, and it is still private. A mode, a name or a link to it never make it so; a link
//   at the cache path leads to a folder whose files are judged by record, then by content. The
//   program folder of a portable copy is never the program's own: what lies in it is judged the
//   same way. The state folder holds only the records; a record file that is not a regular
//   file or not made of records is never read as one, nor written over.
// - The drive a folder is on: the mount whose ID the kernel reports for an open descriptor of
//   the folder (statx STATX_MNT_ID, else the mnt_id of /proc/self/fdinfo), matched to the ID in
//   the mount table. Mount IDs are unique while the mount exists, so a mount stacked on top, a
//   bind twin or another subvolume of the same device has an ID of its own.
// - The drive the window selected: the same mount ID, taken when the list was read; a mount
//   that is gone or replaced by then is another ID and is refused, never substituted.
// - The folder a run writes to: the descriptor opened at its start; every file is named
//   relative to it, and the folder's device and inode together with its mount ID tell whether
//   its path still leads to it.
// - The running instance: an flock on a lock file in the user's private runtime folder (owned
//   by the user, mode 0700), held only while the name still names the locked inode; the kernel
//   frees it with its holder. Without that folder, an abstract socket name whose holder proves
//   to be this user by SO_PEERCRED. The name carries the user id and a hash of the program
//   file's path, so separate copies of the program never meet.
// - The working folder: a relative drive path is resolved through the kernel's own link of the
//   process's working folder; when the kernel cannot name it (deleted), the path is refused.
// - Standard descriptors: 0 to 2, when closed at start, are opened on /dev/null, so no later
//   descriptor takes their number; a closed standard output is remembered and reported.
// - Signal dispositions: a signal the parent left ignored (SIGHUP under nohup) stays ignored;
//   the kernel's inherited disposition is the key, read before any handler is set.
