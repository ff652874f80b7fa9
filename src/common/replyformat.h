#ifndef REPLYFORMAT_H
#define REPLYFORMAT_H

#include <QLatin1String>

// The update server's reply, named once for the updater that reads it, the server that writes
// it, the package builder that prints its catalogue entries and the tests. See "The exchange"
// and "Catalogue format" in the publishers' guide.
namespace ReplyFormat {

inline constexpr QLatin1String root {"update"};
// One per queried component, with these attributes, as the query names them.
inline constexpr QLatin1String request {"request"};
inline constexpr QLatin1String project {"project"};
inline constexpr QLatin1String name {"name"};
inline constexpr QLatin1String type {"type"};

// The children of a request that offers an update.
inline constexpr QLatin1String version {"version"};
inline constexpr QLatin1String description {"description"};
inline constexpr QLatin1String copyrights {"copyrights"};
inline constexpr QLatin1String author {"author"};
inline constexpr QLatin1String webpage {"webpage"};
inline constexpr QLatin1String email {"email"};
inline constexpr QLatin1String changelog {"changelog"};
inline constexpr QLatin1String link {"link"};
inline constexpr QLatin1String critical {"critical"};
inline constexpr QLatin1String timestamp {"timestamp"};
// What the package is held to, each optional, beside its digest (named after its algorithm,
// see Digest::name()); a patch element carries them as attributes.
inline constexpr QLatin1String signature {"signature"};
inline constexpr QLatin1String size {"size"};

// A patch package for installations of one older version: attributes from, link and the three
// above.
inline constexpr QLatin1String patch {"patch"};
inline constexpr QLatin1String from {"from"};

// The children of a request that offers nothing.
inline constexpr QLatin1String latest {"latest"};
inline constexpr QLatin1String noSuchUpdate {"noSuchUpdate"};
inline constexpr QLatin1String noSuchComponent {"noSuchComponent"};

// The update server's catalogue, which the package builder writes entries of: a root of
// components, each with the attributes and children of a request that offers an update.
inline constexpr QLatin1String catalogue {"catalogue"};
inline constexpr QLatin1String component {"component"};

} // namespace ReplyFormat

#endif // REPLYFORMAT_H
