#pragma once

// The BSD tool view: a private mount namespace in which "/usr/sbin/natd", "/sbin/ipfw",
// "/sbin/ifconfig" and "/usr/sbin/sysctl" are Velloran's stand-ins, while the host's own
// files stay as they are.
namespace BsdToolView {

// Called in a freshly forked child, as root, right before it execs a privileged tool.
// Uses system calls only (safe after fork). Returns 0, or an errno value when the view
// could not be made. A missing stand-in folder means "run on the host as is" and returns 0.
int enter(const char *standInsDir);

// 0 when `folder` (an absolute path without links) and every folder above it belong to root and
// no one else can change them, else an errno value (EPERM when someone could). System calls only.
int checkRootOnly(const char *folder);

// The view made once and kept: in a child that shares our descriptor table (a vfork-style clone,
// system calls only), enter() and then open the view's namespace and root into `nsFd` and
// `rootFd` (close-on-exec). Returns 0 or an errno value.
int keep(const char *standInsDir, int &nsFd, int &rootFd);

// Instead of enter(): the same checks, then into the view keep() made, with its root as ours.
int join(const char *standInsDir, int nsFd, int rootFd);

} // namespace BsdToolView
