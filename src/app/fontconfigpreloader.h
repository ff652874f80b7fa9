#ifndef FONTCONFIGPRELOADER_H
#define FONTCONFIGPRELOADER_H

#include <thread>

// Loads the font configuration on another thread while the updater asks the messenger and the
// update server, instead of on the way to the first window. Fontconfig is thread-safe, and its
// configuration is loaded once per process, whichever thread comes first.
class FontconfigPreloader
{
public:
    FontconfigPreloader();
    // Waits for the thread: it must not outlive the libraries it runs in.
    ~FontconfigPreloader();

    FontconfigPreloader(const FontconfigPreloader &) = delete;
    FontconfigPreloader &operator=(const FontconfigPreloader &) = delete;

private:
    std::thread loader;
};

#endif // FONTCONFIGPRELOADER_H
