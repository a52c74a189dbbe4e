// A minimal peer for the code-signature tests: connects to the UNIX socket named on its command
// line and stays until the other side closes the connection (or 30 seconds pass).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

int main(int argc, char** argv)
{
    constexpr unsigned int kLongestLifeSeconds = 30;
    if (argc != 2 || std::strlen(argv[1]) >= sizeof(sockaddr_un::sun_path)) {
        return 2;
    }
    alarm(kLongestLifeSeconds);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return 1;
    }
    char byte = 0;
    while (read(fd, &byte, 1) > 0) { }
    close(fd);
    return 0;
}
