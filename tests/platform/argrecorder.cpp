// Test program: records how it was started. It writes its working folder and
// its arguments, each followed by a NUL byte, to "arguments.rec" beside its
// own executable (whole, through a rename). With "--linger" as its first
// argument it then stays alive for at most a minute, until it is stopped.

#include <climits>
#include <cstdio>
#include <string>
#include <unistd.h>

int main(int argc, char *argv[])
{
    char self[PATH_MAX] = {};
    char cwd[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0 || !getcwd(cwd, sizeof cwd))
        return 2;
    std::string folder(self, static_cast<std::size_t>(length));
    folder.erase(folder.rfind('/'));
    std::string record(cwd);
    record.push_back('\0');
    for (int i = 1; i < argc; ++i)
        record.append(argv[i]).push_back('\0');

    const std::string partial = folder + "/arguments.rec.part";
    FILE *file = std::fopen(partial.c_str(), "wb");
    if (!file)
        return 4;
    const bool written = std::fwrite(record.data(), 1, record.size(), file) == record.size();
    if (std::fclose(file) != 0 || !written || std::rename(partial.c_str(), (folder + "/arguments.rec").c_str()) != 0)
        return 5;
    for (int i = 0; argc > 1 && std::string(argv[1]) == "--linger" && i < 600; ++i)
        usleep(100 * 1000);
    return 0;
}
