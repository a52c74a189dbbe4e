// Plays the server child in the setup tests: runs the shell script beside its own executable
// (`<itself>.sh`) with the arguments it was given. The controller starts its child through a
// descriptor of the program, which a script's interpreter could not open again, so each script
// gets a copy of this program to start it. The argv[0] it was given reaches the script as
// SCRIPT_CHILD_NAME.
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self);
    if (length <= 0 || length == static_cast<ssize_t>(sizeof self)) {
        return 126;
    }
    std::string script(self, static_cast<std::size_t>(length));
    const std::string deleted = " (deleted)";
    if (script.ends_with(deleted)) {
        script.resize(script.size() - deleted.size());
    }
    script += ".sh";
    if (argc < 1 || setenv("SCRIPT_CHILD_NAME", argv[0], 1) != 0) {
        return 126;
    }
    std::string shell = "/bin/sh";
    std::vector<char*> arguments {shell.data(), script.data()};
    arguments.insert(arguments.end(), argv + 1, argv + argc);
    arguments.push_back(nullptr);
    execv(shell.c_str(), arguments.data());
    return 127;
}
