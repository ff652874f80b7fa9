#ifndef MANIFESTFORMAT_H
#define MANIFESTFORMAT_H

#include <QLatin1String>

// A package's manifest, named once for the installer that reads it, the package builder that
// writes it and the tests. See "Manifest" in the publishers' guide.
namespace ManifestFormat {

// The component the package is for, with the attributes project, name and type.
inline constexpr QLatin1String package {"package"};
inline constexpr QLatin1String project {"project"};
inline constexpr QLatin1String name {"name"};
inline constexpr QLatin1String type {"type"};

// One file: its name, its directory below the installation directory and what to do.
inline constexpr QLatin1String file {"file"};
inline constexpr QLatin1String path {"path"};
inline constexpr QLatin1String action {"action"};

// The actions, in lower case: any other only backs the installed file up.
inline constexpr QLatin1String add {"add"};
inline constexpr QLatin1String remove {"remove"};
// A patch package's: the file rebuilt from the installed one, with the digests (hex) of both
// named as Digest::fromName() and Digest::name() name them.
inline constexpr QLatin1String patch {"patch"};

} // namespace ManifestFormat

#endif // MANIFESTFORMAT_H
