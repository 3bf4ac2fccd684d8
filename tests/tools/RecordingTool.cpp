// Records its start; by name "slow" waits, "linger" stays 1 s, "exit3" exits 3, "killed" SIGKILL.
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>

namespace {
std::string link(const std::string &path)
{
    char buffer[4096];
    const ssize_t length = readlink(path.c_str(), buffer, sizeof buffer);
    return std::string(buffer, std::size_t(length > 0 ? length : 0));
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
    const std::string self = link("/proc/self/exe"), name = self.substr(self.rfind('/') + 1);
    const auto named = [&](const char *word) { return name.find(word) != std::string::npos; };
    if (named("slow"))
        usleep(300 * 1000);
    std::string record = "run\npid=" + std::to_string(getpid()) +
                         "\nsid=" + std::to_string(getsid(0)) +
                         "\nuid=" + std::to_string(geteuid());
    for (const auto &[key, path] : {std::pair{"cwd", "cwd"}, {"stdin", "fd/0"}, {"stdout", "fd/1"}})
        record += std::string("\n") + key + '=' + link(std::string("/proc/self/") + path);
    record += "\nfds=";
    DIR *dir = opendir("/proc/self/fd");
    for (const dirent *entry; (entry = readdir(dir));)
        if (entry->d_name[0] != '.' && std::stoi(entry->d_name) != dirfd(dir))
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
    append(self.substr(0, self.rfind('/')) + "/journal", journal + "\n");
    sleep(named("linger") ? 1 : 0);
    if (named("killed"))
        raise(SIGKILL);
    return named("exit3") ? 3 : 0;
}
