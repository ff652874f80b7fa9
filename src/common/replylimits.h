#ifndef REPLYLIMITS_H
#define REPLYLIMITS_H

#include <QtGlobal>

// The bounds of the update server's reply: the updater refuses a reply beyond them, and the
// update server neither publishes a text nor sends a reply that would pass them.
namespace ReplyLimits {

// A server that streams without end must not exhaust memory.
constexpr qsizetype maximumSize = 16 * 1024 * 1024;
// A hostile reply must not cost more than its bytes; a reply needs 4 levels.
constexpr int maximumDepth = 32;
constexpr int maximumRequests = 10000;
// Characters (UTF-16 code units) of a request's changelog and of each of its other children.
constexpr qsizetype maximumChangelog = 64 * 1024;
constexpr qsizetype maximumField = 4 * 1024;

} // namespace ReplyLimits

#endif // REPLYLIMITS_H
