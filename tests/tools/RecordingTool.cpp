// A tool for the privileged-start tests: it writes down how it was started, beside itself in
// "<own path>.record", and appends "<name> <args>" to "journal" in its folder. Its file name
// picks its behaviour: "slow" waits before writing, "linger" stays a while after, "exit3" ends
// with status 3, "daemon" forks into the background and stays until it is ended.
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {
std::string link(const char *path)
{
    char buffer[4096];
    const ssize_t length = readlink(path, buffer, sizeof buffer);
    return length > 0 ? std::string(buffer, std::size_t(length)) : std::string();
}

void append(const std::string &path, const std::string &text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0 && write(fd, text.data(), text.size()) >= 0)
        close(fd);
}
} // namespace

int main(int argc, char *argv[])
{
    const std::string self = link("/proc/self/exe");
    const std::string name = self.substr(self.rfind('/') + 1),
                      folder = self.substr(0, self.rfind('/'));
    const auto named = [&](const char *word) { return name.find(word) != std::string::npos; };
    if (named("slow"))
        usleep(300 * 1000);
    std::string record =
        "run\npid=" + std::to_string(getpid()) + "\nsid=" + std::to_string(getsid(0)) +
        "\nuid=" + std::to_string(geteuid()) + "\ncwd=" + link("/proc/self/cwd") +
        "\nstdin=" + link("/proc/self/fd/0") + "\nstdout=" + link("/proc/self/fd/1") + "\nfds=";
    DIR *dir = opendir("/proc/self/fd");
    for (const dirent *entry; dir && (entry = readdir(dir));)
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != dirfd(dir))
            record += std::string(record.back() == '=' ? "" : ",") + entry->d_name;
    closedir(dir);
    for (char **entry = environ; *entry; ++entry)
        record += "\nenv=" + std::string(*entry);
    std::string journal = name;
    for (int i = 0; i < argc; ++i) {
        record += "\narg=" + std::string(argv[i]);
        journal += i > 0 ? " " + std::string(argv[i]) : "";
    }
    append(self + ".record", record + "\nend\n");
    append(folder + "/journal", journal + "\n");
    if (named("daemon")) {
        if (fork() != 0)
            return 0;
        setsid();
        const int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0), dup2(devNull, 1), dup2(devNull, 2);
        append(self + ".daemon", std::to_string(getpid()) + "\n");
        sleep(30);
        return 0;
    }
    if (named("linger"))
        sleep(2);
    return named("exit3") ? 3 : 0;
}
