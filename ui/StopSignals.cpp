#include "StopSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "partwise/progress.h"

namespace {

int pipeEnds[2] = {-1, -1};

extern "C" void onStopSignal(int signo) {
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    // A full pipe already holds a stop request.
    [[maybe_unused]] const ssize_t n = ::write(pipeEnds[1], &byte, 1);
    errno = savedErrno;
}

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("partwise: cannot catch stop signals");
        return;
    }
    notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(pipeEnds[0], &byte, 1) == 1) emit caught(byte);
    });
    partwise::CatchStopSignals(onStopSignal);
}

StopSignals::~StopSignals() {
    if (notifier == nullptr) return;
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction now {};
        if (::sigaction(signo, nullptr, &now) == 0 && now.sa_handler == onStopSignal) std::signal(signo, SIG_DFL);
    }
    delete notifier;
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
}
