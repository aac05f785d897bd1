// Holds a site's lock as another publisher would, for the unit tests:
//   site_lock_holder LOCK READY RELEASE
// READY is made once the lock is held. The program ends when RELEASE appears (or after a
// minute) without releasing the lock: its end must release it.
#include <chrono>
#include <thread>

#include "platform/site_fs.h"

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments = platform::utf8_arguments(argc, argv);
    if (arguments.size() != 4)
        return 2;
    platform::site_lock* lock = nullptr;
    std::string problem;
    if (platform::lock_site(std::filesystem::u8path(arguments[1]), 0, lock, problem) !=
        platform::site_lock_result::locked)
        return 1;
    platform::new_file* ready = platform::create_new_file(std::filesystem::u8path(arguments[2]), problem);
    if (ready == nullptr || !platform::finish_new_file(ready, problem))
        return 1;
    for (int i = 0; i < 600 && !std::filesystem::exists(std::filesystem::u8path(arguments[3])); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return 0;
}
