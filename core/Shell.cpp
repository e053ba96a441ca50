#include "Shell.h"

#include "Log.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <string_view>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace halvane {

namespace {

// Owns the attributes and file actions of one posix_spawn call.
class SpawnSetup {
public:
    SpawnSetup()
    {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
        sigset_t none;
        sigemptyset(&none);
        sigset_t handled;
        sigemptyset(&handled);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
            sigaddset(&handled, sig);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &handled);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
};

pid_t spawnShell(const std::string& command, SpawnSetup& setup, const std::vector<std::string>& parameters = {},
                 const std::vector<std::string>& variables = {})
{
    std::vector<const char*> argv = {"sh", "-c", command.c_str()};
    if (!parameters.empty())
        argv.push_back("sh");
    for (const std::string& parameter : parameters)
        argv.push_back(parameter.c_str());
    argv.push_back(nullptr);

    char** envp = environ;
    std::vector<const char*> environment;
    if (!variables.empty()) {
        const auto replaced = [&variables](std::string_view entry) {
            return std::any_of(variables.begin(), variables.end(), [entry](const std::string& variable) {
                const std::size_t name = variable.find('=') + 1;
                return entry.substr(0, name) == std::string_view(variable).substr(0, name);
            });
        };
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (!replaced(*entry))
                environment.push_back(*entry);
        }
        for (const std::string& variable : variables)
            environment.push_back(variable.c_str());
        environment.push_back(nullptr);
        envp = const_cast<char**>(environment.data());
    }

    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", &setup.actions, &setup.attr, const_cast<char**>(argv.data()), envp) != 0)
        return -1;
    return pid;
}

int waitFor(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

} // namespace

int startShellCommand(const std::string& command)
{
    SpawnSetup setup;
    return spawnShell(command, setup);
}

int waitShellCommand(int pid)
{
    return pid < 0 ? -1 : waitFor(pid);
}

int runShellCommand(const std::string& command)
{
    return waitShellCommand(startShellCommand(command));
}

int runShellCommand(const std::string& command, const std::vector<std::string>& parameters,
                    const std::vector<std::string>& variables)
{
    SpawnSetup setup;
    return waitShellCommand(spawnShell(command, setup, parameters, variables));
}

std::string shellReplace(const char* text)
{
    char command[1024];
    int needed = std::snprintf(command, sizeof(command), "printf \"%s\" 2>&1", text);
    if (needed < 0 || static_cast<std::size_t>(needed) >= sizeof(command)) {
        Log(5, "Value too long for shell expansion, using an empty value: %.40s...\n", text);
        return {};
    }

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return {};
    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, fds[1], STDOUT_FILENO);
    // Error output of the expansion itself (a failing command substitution)
    // belongs to the result too, not only printf's.
    posix_spawn_file_actions_adddup2(&setup.actions, fds[1], STDERR_FILENO);
    pid_t pid = spawnShell(command, setup);
    ::close(fds[1]);

    std::string result;
    if (pid >= 0) {
        char piece[256];
        for (;;) {
            ssize_t n = ::read(fds[0], piece, sizeof(piece) - 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            std::size_t room = 1023 - std::min<std::size_t>(result.size(), 1023);
            result.append(piece, std::min<std::size_t>(static_cast<std::size_t>(n), room));
        }
    }
    ::close(fds[0]);
    if (pid >= 0)
        waitFor(pid);
    return result;
}

} // namespace halvane
