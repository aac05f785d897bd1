#include <exception>

#include <spdlog/spdlog.h>

#include "app/recovery.h"

int main()
{
    // Operators read the exit status; an escaping exception would turn into an abort.
    try {
        return run_recovery();
    } catch (const std::exception& e) {
        spdlog::error("Unexpected error: {}", e.what());
    } catch (...) {
        spdlog::error("Unexpected error");
    }
    return -1;
}
