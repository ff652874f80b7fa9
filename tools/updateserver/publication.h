#ifndef PUBLICATION_H
#define PUBLICATION_H

#include <memory>
#include <mutex>

class Catalogue;
class SigningKey;

// What the event loops answer from: the catalogue and the key that signs the replies (null:
// replies go unsigned). Replaced from the main thread on a reload while every loop reads it;
// an exchange keeps the pair it started with.
class Publication
{
public:
    struct Current
    {
        std::shared_ptr<const Catalogue> catalogue;
        std::shared_ptr<const SigningKey> replyKey;
    };

    explicit Publication(Current published)
        : published(std::move(published))
    { }
    Publication(const Publication &) = delete;
    Publication &operator=(const Publication &) = delete;

    Current current() const;
    void setCatalogue(std::shared_ptr<const Catalogue> catalogue);
    void setReplyKey(std::shared_ptr<const SigningKey> key);

private:
    mutable std::mutex mutex;
    Current published;
};

#endif // PUBLICATION_H
