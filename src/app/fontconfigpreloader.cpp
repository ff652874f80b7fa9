#include "fontconfigpreloader.h"

#include <fontconfig/fontconfig.h>

FontconfigPreloader::FontconfigPreloader()
    : loader([] { FcInit(); })
{ }

FontconfigPreloader::~FontconfigPreloader()
{
    loader.join();
}
