#include "common/background.h"

#include <QEventLoop>

#include <exception>
#include <thread>

namespace skiascan {

void runWhileRepainting(const std::function<void()>& work)
{
    std::exception_ptr failure;
    QEventLoop loop;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace skiascan
