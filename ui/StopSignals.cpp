#include "StopSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

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
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction old {};
        if (::sigaction(signo, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(signo, &action, nullptr);
    }
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

void StopSignals::dieOf(int signo) {
    if (signo == 0) return;
    std::fflush(nullptr);
    std::signal(signo, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signo);
    std::_Exit(128 + signo);
}
