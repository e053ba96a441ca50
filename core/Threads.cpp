#include "Threads.h"

#include <memory>
#include <pthread.h>

namespace halvane {

namespace {

void* runBody(void* arg)
{
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return nullptr;
}

} // namespace

bool startDetachedThread(std::function<void()> body)
{
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int result = pthread_create(&thread, &attr, runBody, owned.get());
    pthread_attr_destroy(&attr);
    if (result != 0)
        return false;
    owned.release(); // the thread owns it now
    return true;
}

} // namespace halvane
