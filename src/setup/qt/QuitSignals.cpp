#include "setup/qt/QuitSignals.h"

#include "common/Pipe.h"

#include <QSocketNotifier>

#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <utility>

namespace quorvantile::setup {
namespace {

constexpr std::array kQuitSignals {SIGTERM, SIGINT, SIGHUP};

// Written by the handler, which may run on any thread; -1 while no instance exists.
volatile std::sig_atomic_t writeEnd = -1;
std::array<struct sigaction, kQuitSignals.size()> previous {};

extern "C" void onQuitSignal(int number)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(number);
    // A full pipe already holds a pending request; dropping this one loses nothing.
    [[maybe_unused]] const auto written = write(writeEnd, &byte, 1);
    errno = savedErrno;
}

} // namespace

QuitSignals::QuitSignals(QObject* parent) : QObject(parent)
{
    // Close-on-exec: the server child must not inherit either end.
    Pipe ends;
    if (writeEnd != -1 || !makePipe(ends, /*nonBlocking=*/true)) {
        return;
    }
    readEnd_ = std::move(ends.read);
    writeEnd = ends.write.release();
    struct sigaction action { };
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t index = 0; index < kQuitSignals.size(); ++index) {
        sigaction(kQuitSignals[index], &action, &previous[index]);
    }
    notifier_ = new QSocketNotifier(readEnd_.get(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &QuitSignals::drain);
}

QuitSignals::~QuitSignals()
{
    if (notifier_ == nullptr) {
        return;
    }
    for (std::size_t index = 0; index < kQuitSignals.size(); ++index) {
        sigaction(kQuitSignals[index], &previous[index], nullptr);
    }
    close(writeEnd);
    writeEnd = -1;
}

void QuitSignals::drain()
{
    unsigned char byte = 0;
    while (read(readEnd_.get(), &byte, 1) == 1) {
        emit received(byte);
    }
}

} // namespace quorvantile::setup
