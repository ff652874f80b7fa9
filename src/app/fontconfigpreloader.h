#ifndef FONTCONFIGPRELOADER_H
#define FONTCONFIGPRELOADER_H

#include <thread>

// Loads the font configuration on another thread while the application object is made and the
// run takes its locks, instead of on the way to the first window. Fontconfig is thread-safe.
class FontconfigPreloader
{
public:
    FontconfigPreloader();
    // Waits for the thread: it must not outlive the libraries it runs in.
    ~FontconfigPreloader();

    // Waits until the configuration is loaded. Call it before the first text: a thread that
    // finds none loaded loads one of its own, which would load it twice.
    void wait();

    FontconfigPreloader(const FontconfigPreloader &) = delete;
    FontconfigPreloader &operator=(const FontconfigPreloader &) = delete;

private:
    std::thread loader;
};

#endif // FONTCONFIGPRELOADER_H
