// Runs the built vintrel binary and collects what it printed.
#ifndef VINTREL_TEST_RUN_TOOL_H
#define VINTREL_TEST_RUN_TOOL_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
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
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// VINTREL_WRAPPER (for example a valgrind command line) runs the tool under
// another program.
inline ToolRun runTool(std::vector<std::string> args)
{
    args.insert(args.begin(), VINTREL_BINARY);
    if (const char *wrapper = getenv("VINTREL_WRAPPER")) {
        std::istringstream words(wrapper);
        std::vector<std::string> prefix{std::istream_iterator<std::string>(words), {}};
        args.insert(args.begin(), prefix.begin(), prefix.end());
    }
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    char out[] = "/tmp/vintrel-out-XXXXXX", err[] = "/tmp/vintrel-err-XXXXXX";
    close(mkstemp(out));
    close(mkstemp(err));
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, out, O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&files, 2, err, O_WRONLY | O_TRUNC, 0);
    pid_t pid;
    ToolRun run{"", "", -1};
    if (posix_spawnp(&pid, argv[0], &files, nullptr, argv.data(), environ) == 0) {
        int wstatus;
        waitpid(pid, &wstatus, 0);
        if (WIFEXITED(wstatus))
            run.status = WEXITSTATUS(wstatus);
    }
    posix_spawn_file_actions_destroy(&files);
    run.out = slurp(out);
    run.err = slurp(err);
    unlink(out);
    unlink(err);
    return run;
}

#endif

#ifdef DDNS_RESPONDER
// The update-service responder, running for the life of this object.
class Responder {
public:
    Responder(const std::string &address, const std::string &password)
    {
        char path[] = "/tmp/vintrel-registered-XXXXXX";
        close(mkstemp(path));
        log = path;
        std::string args[] = {DDNS_RESPONDER, address, password, log};
        char *argv[] = {&args[0][0], &args[1][0], &args[2][0], &args[3][0], nullptr};
        posix_spawn(&pid, DDNS_RESPONDER, nullptr, nullptr, argv, environ);
        for (int i = 0; i < 200 && portFree(address); ++i)
            usleep(10000);
    }

    ~Responder()
    {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        unlink(log.c_str());
    }

    // What it has registered, one "name A address" line each.
    std::string registered() const { return slurp(log); }

private:
    pid_t pid = -1;

    // True while nobody holds address:53 (the responder has not bound yet).
    static bool portFree(const std::string &address)
    {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(53);
        sa.sin_addr.s_addr = inet_addr(address.c_str());
        bool free = bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
        close(s);
        return free;
    }
    std::string log;
};
#endif
