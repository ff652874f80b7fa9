#pragma once

#include <netinet/in.h>
#include <string>
#include <vector>

// The wave's command line: the target (loopback only), its shape and the attackers.
struct LoadOptions
{
    // The query every exchange of the wave sends.
    static const std::string query;

    bool parse(int argc, char *argv[]);

    sockaddr_in target = {};
    int connections = 0;
    double seconds = 0;
    double rate = 0;
    long count = -1;
    std::vector<std::string> expected;
    const char *save = nullptr;
    int attackers = 0;
    std::string attackQuery = query;
    // With --rollout N: each query carries a nonce and a rollout position, and every Nth
    // exchange is an install report instead.
    int reportEvery = 0;
};
