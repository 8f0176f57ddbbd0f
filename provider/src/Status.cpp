#include "PAL/Status.h"

#include <utility>

namespace PAL {
namespace {

using S = StatusCodes;

constexpr std::pair<Status, const char*> Texts[] = {
    {S::NotFound, "No such file or directory"},
    {S::PathNotFound, "No such file or directory"},
    {S::AccessDenied, "Permission denied"},
    {S::InvalidHandle, "Invalid handle"},
    {S::NotEnoughMemory, "Cannot allocate memory"},
    {S::NotReady, "No host-key cache named to the store"},
    {S::SharingViolation, "In use by another process"},
    {S::InvalidParameter, "Invalid argument"},
    {S::BadPathName, "Invalid path"},
    {S::FileTooLarge, "File too large"},
    {S::NoSystemResources, "Insufficient system resources"},
};

} // namespace

std::string statusText(Status status) {
    for (const auto& entry : Texts) {
        if (entry.first == status) {
            return entry.second;
        }
    }
    return "error " + std::to_string(status);
}

} // namespace PAL
