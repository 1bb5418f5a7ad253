#include "platform/low_latency.h"

#include <map>
#include <mutex>

namespace dravel {

namespace {

std::mutex& NotesMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, std::string>& Notes()
{
    static std::map<std::string, std::string> notes;
    return notes;
}

}  // namespace

std::string LowLatencyNote(const std::string& device)
{
    std::lock_guard lock(NotesMutex());
    const auto found = Notes().find(device);
    return found == Notes().end() ? std::string() : found->second;
}

void KeepLowLatencyNote(const std::string& device, const std::string& note)
{
    std::lock_guard lock(NotesMutex());
    Notes()[device] = note;
}

}  // namespace dravel
