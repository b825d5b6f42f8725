#include "KvProcessWideRegistry.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// A singly linked list: a process registers a handful of names at most.
struct Registration
{
    char *name;
    void *value;
    Registration *next;
};

std::mutex registrationsMutex;
Registration *registrations = nullptr;

Registration *findRegistration(const char *name)
{
    for (Registration *r = registrations; r; r = r->next) {
        if (std::strcmp(r->name, name) == 0)
            return r;
    }
    return nullptr;
}

} // namespace

int kvProcessWideFind(const char *name, void **value)
{
    if (!name || !value)
        return 0;
    std::lock_guard<std::mutex> lock(registrationsMutex);
    const Registration *found = findRegistration(name);
    if (!found)
        return 0;
    *value = found->value;
    return 1;
}

int kvProcessWideRegister(const char *name, void *value)
{
    if (!name)
        return 0;
    std::lock_guard<std::mutex> lock(registrationsMutex);
    if (findRegistration(name))
        return 0;
    auto *added = static_cast<Registration *>(std::malloc(sizeof(Registration)));
    char *copy = strdup(name);
    if (!added || !copy) {
        std::free(added);
        std::free(copy);
        return 0;
    }
    *added = Registration{copy, value, registrations};
    registrations = added;
    return 1;
}
