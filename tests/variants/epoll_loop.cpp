// Linked into a second build of a suite: the same tests, run on the loop the program uses
// when it has no display, installed before the application exists as main() does.
#include <QCoreApplication>
#include <cstdlib>

#include "platform/epoll_dispatcher.h"

namespace {

const bool installed = [] {
    auto* loop = EpollDispatcher::createForOffscreen();
    if (!loop) {
        std::abort();  // the suite would silently test Qt's loop instead
    }
    QCoreApplication::setEventDispatcher(loop);
    return true;
}();

}  // namespace
