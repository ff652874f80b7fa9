#include "fontconfigpreloader.h"

#include <fontconfig/fontconfig.h>

FontconfigPreloader::FontconfigPreloader()
    : loader([] { FcInit(); })
{ }

FontconfigPreloader::~FontconfigPreloader()
{
    wait();
}

void FontconfigPreloader::wait()
{
    if (loader.joinable())
        loader.join();
}
