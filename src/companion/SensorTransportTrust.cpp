// The peer check, apart from the framing and I/O: clients of the protocol link the rest without
// the code-signature machinery (and its libraries) that only the server needs.
#include "companion/PeerCredentials.h"
#include "companion/SensorTransport.h"

#include <unistd.h>

namespace quorvantile::SensorTransport {

std::string requirementText(std::string_view identifier)
{
    std::string text = "anchor apple generic and certificate leaf[subject.OU] = \"";
    text += kTeamIdentifier;
    text += "\" and identifier \"";
    text += identifier;
    text += '"';
    return text;
}

bool trustedPeer(int fd, std::string_view identifier)
{
    return trustedPeer(fd, identifier, *systemPeerCodeSignature());
}

bool trustedPeer(int fd, std::string_view identifier, PeerCodeSignature& signatures)
{
    if (identifier != kParentIdentifier && identifier != kCompanionIdentifier) {
        return false;
    }
    const auto credentials = peerCredentials(fd);
    if (!credentials || credentials->uid != geteuid()) {
        return false;
    }
    return signatures.peerSatisfies(fd, requirementText(identifier));
}

} // namespace quorvantile::SensorTransport
