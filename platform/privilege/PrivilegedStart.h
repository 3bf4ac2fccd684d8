#pragma once

#include <cerrno>
#include <cstddef>
#include <string>

// Starting a tool as root: shared by the root helper and by Velloran itself when it runs as root.
// Uses no Qt, so the helper stays small.
namespace PrivilegedStart {

// How long a start waits for the tool to end, so that commands issued in order act in order.
constexpr int kToolWaitMs = 5000;

// The answer for a tool that ended with a non-zero status within the wait.
constexpr int kToolFailed = ECHILD;

// The only environment a started tool sees.
extern const char *const kToolPath;

// Forks, detaches the child into its own session with "/" as working directory, /dev/null as
// stdin and stdout, the runner's stderr, no other descriptor and a clean environment, enters the
// BSD tool view of `standInsDir` and execs `path` with `argv` (argv[0] should be `path`, the list
// ends in a null pointer). The tool's stderr is a pipe the runner reads and passes on to its own.
// Then waits up to `waitMs` for the tool to end (a daemon that forks returns at once). Returns 0
// when the tool ended with status 0 or still runs when the wait ends; kToolFailed, after one log
// line naming the tool, its status and the last line it wrote on stderr, when it ended otherwise;
// else the errno value that kept it from starting.
int start(const char *path, char *const argv[], const char *standInsDir, int waitMs = kToolWaitMs);

// As start(), for the program `name` in the folder open as `folder`, run through that descriptor
// (execveat) so that no path is resolved again. The descriptor stays open in the program: a
// script's interpreter reads the script through /dev/fd.
int startIn(int folder, const char *name, char *const argv[], const char *standInsDir,
            int waitMs = kToolWaitMs);

// What "/bin/cp FROM TO" does, made here so that no link is followed: FROM (relative to `folder`,
// or AT_FDCWD) must be a regular file itself; its bytes go into a fresh file beside TO, which
// then takes TO's place. 0, or an errno value.
int copy(int folder, const char *from, const char *to);

// A descriptor (Velloran's pidfd) whose readiness ends any wait for a tool: nobody waits for it.
void setWatched(int fd);

// How long a tool that answers may take.
constexpr int kAnswerWaitMs = 10000;

// As start() and startIn() (`folder` below 0 for a `path`), outside the tool view, with the
// tool's stdout a pipe, and waits for it to end: 0 with what it wrote in `output` when it ended
// with status 0 within `waitMs` having written at most `limit` bytes; kToolFailed when it ended
// otherwise or wrote more; ETIMEDOUT, once it was ended, when it ran past the wait (or Velloran
// ended); else the errno value that kept it from starting.
int capture(int folder, const char *path, char *const argv[], std::string &output,
            std::size_t limit, int waitMs = kAnswerWaitMs);

// The user on whose behalf the tools run, passed on to them as SUDO_UID so that the install
// script can tell the user's staged files from a stranger's. Digits only.
void setRequestingUser(const char *uid);

// Who started the helper: sudo's SUDO_UID or pkexec's PKEXEC_UID. When both claim a user, the
// environment was made up by someone, and nobody is the answer (null).
const char *requestingUser(const char *sudoUid, const char *pkexecUid);

// Collects tools that outlived their wait and have ended since; start() does this itself.
void reapFinished();

} // namespace PrivilegedStart
