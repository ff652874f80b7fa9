#include "publication.h"

Publication::Current Publication::current() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return published;
}

void Publication::setCatalogue(std::shared_ptr<const Catalogue> catalogue)
{
    const std::lock_guard<std::mutex> lock(mutex);
    published.catalogue = std::move(catalogue);
}

void Publication::setReplyKey(std::shared_ptr<const SigningKey> key)
{
    const std::lock_guard<std::mutex> lock(mutex);
    published.replyKey = std::move(key);
}
