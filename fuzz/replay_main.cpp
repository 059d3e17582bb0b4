// Without a fuzzing engine: runs the target once on every file of the
// directories (or files) named on the command line.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

static int replayFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return 1;
}

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize && LLVMFuzzerInitialize(&argc, &argv) != 0)
        return 1;
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0)
            continue;
        if (!S_ISDIR(st.st_mode)) {
            replayed += replayFile(argv[i]);
            continue;
        }
        DIR *dir = opendir(argv[i]);
        while (dirent *entry = dir ? readdir(dir) : nullptr) {
            if (entry->d_name[0] != '.')
                replayed += replayFile(std::string(argv[i]) + "/" + entry->d_name);
        }
        if (dir)
            closedir(dir);
    }
    printf("replayed %d inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
