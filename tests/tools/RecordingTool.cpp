// A tool for the privileged-start tests: it writes down how it was started, beside itself in
// "<own path>.record", and appends "<name> <args>" to "journal" in its folder. Its file name
// picks its behaviour: "slow" waits before writing, "linger" stays a while after, "exit3" ends
// with status 3, "daemon" forks into the background and stays until it is ended.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

extern char **environ;

namespace {

std::string link(const char *path)
{
    char buffer[4096];
    const ssize_t length = readlink(path, buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

std::string openDescriptors()
{
    std::string list;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return "?";
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(dir))
            continue;
        list += (list.empty() ? "" : ",") + std::string(entry->d_name);
    }
    closedir(dir);
    return list;
}

void append(const std::string &path, const std::string &text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t ignored = write(fd, text.data(), text.size());
    (void)ignored;
    close(fd);
}

} // namespace

int main(int argc, char *argv[])
{
    const std::string self = link("/proc/self/exe");
    const std::string name = self.substr(self.rfind('/') + 1);
    const std::string folder = self.substr(0, self.rfind('/'));
    if (name.find("slow") != std::string::npos)
        usleep(300 * 1000);

    char cwd[4096] = "?";
    if (!getcwd(cwd, sizeof cwd))
        std::strcpy(cwd, "?");
    std::string record = "run\n";
    record += "pid=" + std::to_string(getpid()) + "\n";
    record += "sid=" + std::to_string(getsid(0)) + "\n";
    record += "uid=" + std::to_string(geteuid()) + "\n";
    record += "cwd=" + std::string(cwd) + "\n";
    record += "stdin=" + link("/proc/self/fd/0") + "\n";
    record += "stdout=" + link("/proc/self/fd/1") + "\n";
    record += "fds=" + openDescriptors() + "\n";
    for (char **entry = environ; *entry; ++entry)
        record += "env=" + std::string(*entry) + "\n";
    std::string journal = name;
    for (int i = 0; i < argc; ++i) {
        record += "arg=" + std::string(argv[i]) + "\n";
        if (i > 0)
            journal += " " + std::string(argv[i]);
    }
    append(self + ".record", record + "end\n");
    append(folder + "/journal", journal + "\n");

    if (name.find("daemon") != std::string::npos) {
        if (fork() != 0)
            return 0;
        setsid();
        const int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(devNull, 1);
        dup2(devNull, 2);
        append(self + ".daemon", std::to_string(getpid()) + "\n");
        sleep(30);
        return 0;
    }
    if (name.find("linger") != std::string::npos)
        sleep(2);
    return name.find("exit3") != std::string::npos ? 3 : 0;
}
