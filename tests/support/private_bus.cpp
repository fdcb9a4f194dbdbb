#include "private_bus.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

extern char **environ;

namespace {

std::string read_line(int fd)
{
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

} // namespace

PrivateBus::PrivateBus()
{
    char pattern[] = "/tmp/pemra-bus-XXXXXX";
    directory_ = mkdtemp(pattern);
    int address_pipe[2];
    if (pipe(address_pipe) != 0)
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, address_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, address_pipe[0]);
    std::string config_option = std::string("--config-file=") + PEMRA_PRIVATE_BUS_CONF;
    std::string address_option = "--address=unix:path=" + directory_ + "/bus";
    const char *argv[] = {"dbus-daemon", config_option.c_str(), "--nofork", "--print-address",
                          address_option.c_str(), nullptr};
    int spawned = posix_spawnp(&daemon_, "dbus-daemon", &actions, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(address_pipe[1]);
    if (spawned != 0)
        throw std::runtime_error("cannot start dbus-daemon");
    // The daemon prints its address once it listens.
    address_ = read_line(address_pipe[0]);
    close(address_pipe[0]);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

PrivateBus::~PrivateBus()
{
    if (daemon_ > 0) {
        kill(daemon_, SIGTERM);
        waitpid(daemon_, nullptr, 0);
    }
    std::filesystem::remove_all(directory_);
}
