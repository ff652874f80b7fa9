#include "loadoptions.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

const std::string LoadOptions::query = "<s><update><component project='vorn' name='core' "
                                       "type='app' version='1.0' /></update></s>";

bool LoadOptions::parse(int argc, char *argv[])
{
    if (argc < 5)
        return false;
    target.sin_family = AF_INET;
    target.sin_port = htons(std::uint16_t(std::atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &target.sin_addr) != 1
        || (ntohl(target.sin_addr.s_addr) >> 24) != 127)
        return false;
    connections = std::atoi(argv[3]);
    seconds = std::atof(argv[4]);
    for (int i = 5; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rate") == 0)
            rate = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--count") == 0)
            count = std::atol(argv[i + 1]);
        else if (std::strcmp(argv[i], "--expect") == 0)
            expected.emplace_back(argv[i + 1]);
        else if (std::strcmp(argv[i], "--save") == 0)
            save = argv[i + 1];
        else if (std::strcmp(argv[i], "--rollout") == 0)
            reportEvery = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--attackers") == 0)
            attackers = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--attack-query") == 0) {
            std::ifstream file(argv[i + 1], std::ios::binary);
            attackQuery.assign(std::istreambuf_iterator<char>(file), {});
            if (!file || attackQuery.empty())
                return false;
        } else
            return false;
    }
    return connections > 0 && seconds > 0 && rate >= 0 && attackers >= 0 && reportEvery >= 0
        && (count != 0 || attackers > 0);
}
