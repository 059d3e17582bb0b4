// Runs the built vintrel binary and collects what it printed.
#ifndef VINTREL_TEST_RUN_TOOL_H
#define VINTREL_TEST_RUN_TOOL_H

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

struct ToolRun {
    std::string out, err;
    int status;  // exit status, or -1 when it did not exit normally
};

inline std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::vector<char *> pointers(std::vector<std::string> &texts)
{
    std::vector<char *> p;
    for (std::string &t : texts)
        p.push_back(&t[0]);
    p.push_back(nullptr);
    return p;
}

// A run of the tool under way: its process and where its output goes.
struct ToolProcess {
    pid_t pid = -1;
    std::string outPath, errPath;
};

// Starts the tool with args and the test's environment plus extraEnv,
// and without a standard input when stdinClosed (as some daemons and cron
// jobs start it). VINTREL_WRAPPER (for example a valgrind command line)
// runs it under another program.
inline ToolProcess startTool(std::vector<std::string> args, const std::vector<std::string> &extraEnv = {},
                             bool stdinClosed = false)
{
    args.insert(args.begin(), VINTREL_BINARY);
    if (const char *wrapper = getenv("VINTREL_WRAPPER")) {
        std::istringstream words(wrapper);
        args.insert(args.begin(), std::istream_iterator<std::string>(words), {});
    }
    std::vector<std::string> env(extraEnv);  // the test's, without VINTREL_PASSWORD
    for (char **e = environ; *e; ++e) {
        if (strncmp(*e, "VINTREL_PASSWORD=", 17) != 0)
            env.push_back(*e);
    }
    char out[] = "/tmp/vintrel-out-XXXXXX", err[] = "/tmp/vintrel-err-XXXXXX";
    close(mkstemp(out));
    close(mkstemp(err));
    // "{stdout}" and "{stderr}" in a variable: that file's "device:inode",
    // as a service manager names the journal's stream in JOURNAL_STREAM.
    for (std::string &e : env) {
        for (const char *file : {out, err}) {
            const std::string mark = file == out ? "{stdout}" : "{stderr}";
            struct stat st;
            if (e.find(mark) != std::string::npos && stat(file, &st) == 0)
                e.replace(e.find(mark), mark.size(), std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
        }
    }
    ToolProcess tool;
    tool.outPath = out;
    tool.errPath = err;
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, out, O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&files, 2, err, O_WRONLY | O_TRUNC, 0);
    if (stdinClosed)
        posix_spawn_file_actions_addclose(&files, 0);
    if (posix_spawnp(&tool.pid, args[0].c_str(), &files, nullptr, pointers(args).data(),
                     pointers(env).data()) != 0)
        tool.pid = -1;
    posix_spawn_file_actions_destroy(&files);
    return tool;
}

// Waits for the run to end and collects what it printed.
inline ToolRun finishTool(const ToolProcess &tool)
{
    ToolRun run{"", "", -1};
    int wstatus;
    if (tool.pid > 0 && waitpid(tool.pid, &wstatus, 0) == tool.pid && WIFEXITED(wstatus))
        run.status = WEXITSTATUS(wstatus);
    run.out = slurp(tool.outPath);
    run.err = slurp(tool.errPath);
    unlink(tool.outPath.c_str());
    unlink(tool.errPath.c_str());
    return run;
}

inline ToolRun runTool(const std::vector<std::string> &args, const std::vector<std::string> &extraEnv = {},
                       bool stdinClosed = false)
{
    return finishTool(startTool(args, extraEnv, stdinClosed));
}

#endif
