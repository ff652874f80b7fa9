// Writes the data of the benchmarks into a scratch directory, always the same for the same
// arguments.
//
//   vorn-bench-generate blob FILE BYTES
//       BYTES of incompressible data: the package that is downloaded
//   vorn-bench-generate tree NEW_DIR OLD_DIR REPLACED_LIST FILES PACKAGE_BYTES
//       NEW_DIR: FILES files, seven in ten text that compresses, the rest binaries that do
//       not, sized so that their zip archive takes about PACKAGE_BYTES; OLD_DIR: an
//       installation holding older versions of every second of them and the messenger `vorn`;
//       REPLACED_LIST: the relative paths of the files that the package replaces there

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

class Random
{
public:
    explicit Random(std::uint64_t seed)
        : state(seed * 0x9e3779b97f4a7c15ULL + 1)
    { }

    std::uint64_t next()
    {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545f4914f6cdd1dULL;
    }
    // Uniform in [0, 1).
    double unit() { return double(next() >> 11) / double(1ULL << 53); }
    std::size_t below(std::size_t bound) { return std::size_t(next() % bound); }

private:
    std::uint64_t state;
};

bool makePath(const std::string &path)
{
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            std::perror(part.c_str());
            return false;
        }
        if (slash == std::string::npos)
            return true;
    }
}

bool writeFile(const std::string &path, const std::string &bytes, mode_t mode = 0644)
{
    FILE *file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()
        || std::fclose(file) != 0) {
        std::perror(path.c_str());
        return false;
    }
    return ::chmod(path.c_str(), mode) == 0;
}

void appendRandom(std::string &out, std::size_t size, Random &random)
{
    const std::size_t start = out.size();
    out.resize(start + size);
    for (std::size_t at = start; at < out.size(); at += 8) {
        const std::uint64_t word = random.next();
        for (std::size_t byte = 0; byte < 8 && at + byte < out.size(); ++byte)
            out[at + byte] = char(word >> (8 * byte));
    }
}

const std::vector<std::string> &vocabulary()
{
    static const std::vector<std::string> words = [] {
        static const char *const syllables[]
            = {"ka",   "vo", "rn", "te", "lis", "mo",  "dar", "en", "qu", "pi",
               "stro", "la", "ne", "ix", "ur",  "sel", "ta",  "co", "mi", "gra"};
        Random random(7);
        std::vector<std::string> list;
        for (int i = 0; i < 4096; ++i) {
            std::string word;
            const std::size_t length = 1 + random.below(4);
            for (std::size_t s = 0; s < length; ++s)
                word += syllables[random.below(20)];
            list.push_back(word);
        }
        return list;
    }();
    return words;
}

void appendText(std::string &out, std::size_t size, Random &random)
{
    static const char *const joints[] = {" ", " ", " ", " ", ", ", ".", " = ", "(", ");", " {"};
    const std::vector<std::string> &words = vocabulary();
    const std::size_t end = out.size() + size;
    std::size_t lineLength = 0;
    while (out.size() < end) {
        // Word frequencies fall off as in real text: a few words are very common.
        const double skew = random.unit();
        out += words[std::size_t(skew * skew * skew * double(words.size()))];
        out += joints[random.below(10)];
        lineLength += 8;
        if (lineLength > 60 + random.below(30)) {
            out += '\n';
            lineLength = 0;
            if (random.below(4) == 0)
                out += "    ";
        }
    }
    out.resize(end);
}

int blob(const char *path, long long bytes)
{
    FILE *file = std::fopen(path, "wb");
    if (!file) {
        std::perror(path);
        return 1;
    }
    Random random(1);
    std::string block;
    for (long long done = 0; done < bytes;) {
        block.clear();
        const std::size_t size = std::size_t(std::min<long long>(1 << 20, bytes - done));
        appendRandom(block, size, random);
        if (std::fwrite(block.data(), 1, size, file) != size) {
            std::perror(path);
            return 1;
        }
        done += (long long)size;
    }
    return std::fclose(file) == 0 ? 0 : 1;
}

struct FileSpec
{
    std::string path;
    bool binary = false;
    double weight = 0;
    std::size_t size = 0;
};

int tree(const std::string &newDir, const std::string &oldDir, const char *listPath, int count,
         long long packageBytes)
{
    Random random(2);
    static const char *const tops[] = {"bin", "lib", "plugins", "share/vorn", "doc"};
    static const char *const textTypes[] = {".txt", ".xml", ".qss", ".js", ".html", ".ini"};
    static const char *const binaryTypes[] = {".so", ".png", ".ogg", ".dat"};
    const std::vector<std::string> &words = vocabulary();

    std::vector<std::string> dirs;
    for (int i = 0; i < 160; ++i) {
        std::string dir = tops[random.below(5)];
        const std::size_t depth = random.below(3);
        for (std::size_t d = 0; d < depth; ++d)
            dir += "/" + words[random.below(words.size())] + std::to_string(i);
        dirs.push_back(dir);
    }

    // Sizes spread over two orders of magnitude, then scaled: binaries make up 85% and text
    // 50% of the package size (text shrinks to about a third in the archive).
    std::vector<FileSpec> files(static_cast<std::size_t>(count));
    double textWeight = 0;
    double binaryWeight = 0;
    for (int i = 0; i < count; ++i) {
        FileSpec &file = files[std::size_t(i)];
        file.binary = random.below(10) < 3;
        file.weight = std::exp(random.unit() * std::log(100.0));
        (file.binary ? binaryWeight : textWeight) += file.weight;
        file.path = dirs[random.below(dirs.size())] + "/" + words[random.below(words.size())]
            + std::to_string(i)
            + (file.binary ? binaryTypes[random.below(4)] : textTypes[random.below(6)]);
    }
    FILE *list = std::fopen(listPath, "w");
    if (!list) {
        std::perror(listPath);
        return 1;
    }
    long long total = 0;
    std::string bytes;
    for (int i = 0; i < count; ++i) {
        FileSpec &file = files[std::size_t(i)];
        const double share = file.binary ? 0.85 / binaryWeight : 0.5 / textWeight;
        file.size = std::size_t(double(packageBytes) * share * file.weight) + 1;
        total += (long long)file.size;
        for (int version = 0; version < 2; ++version) {
            // Every second file stands in the installation in an older version.
            if (version == 1 && i % 2 != 0)
                continue;
            const std::string &root = version == 0 ? newDir : oldDir;
            const std::string path = root + "/" + file.path;
            if (!makePath(path.substr(0, path.rfind('/'))))
                return 1;
            Random content(std::uint64_t(i) * 2 + std::uint64_t(version) + 100);
            const std::size_t size = version == 0 ? file.size : file.size * 9 / 10 + 1;
            bytes.clear();
            if (file.binary)
                appendRandom(bytes, size, content);
            else
                appendText(bytes, size, content);
            if (!writeFile(path, bytes, file.path.compare(0, 4, "bin/") == 0 ? 0755 : 0644))
                return 1;
            if (version == 1)
                std::fprintf(list, "%s\n", file.path.c_str());
        }
    }
    std::fclose(list);
    if (!makePath(oldDir) || !writeFile(oldDir + "/vorn", "#!/bin/sh\n", 0755))
        return 1;
    std::printf("files=%d\nbytes=%lld\n", count, total);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "blob" && argc == 4)
        return blob(argv[2], std::atoll(argv[3]));
    if (mode == "tree" && argc == 7)
        return tree(argv[2], argv[3], argv[4], std::atoi(argv[5]), std::atoll(argv[6]));
    std::fprintf(stderr,
                 "usage: vorn-bench-generate blob FILE BYTES\n"
                 "       vorn-bench-generate tree NEW_DIR OLD_DIR REPLACED_LIST FILES "
                 "PACKAGE_BYTES\n");
    return 2;
}
