// A minimal peer for the code-signature tests: connects to the UNIX socket named on its command
// line and waits to be killed (or for 30 seconds to pass).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

int main(int argc, char** argv)
{
    alarm(30);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, argc == 2 ? argv[1] : "", sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return 1;
    }
    pause();
}
