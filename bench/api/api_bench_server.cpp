// Serves the API with fixed answers on a free loopback port for external load generators:
// the first line on standard error is the port; the server stops when standard input closes.

#include "api/http_api_server.h"
#include "bench_callbacks.h"

#include <cstdio>
#include <iostream>
#include <string>

int main()
{
    ota::backend::S_HttpApiServerOptions options;
    options.allowEphemeralPort = true;
    ota::backend::CHttpApiServer server(options);
    std::string error;
    if (!server.start("127.0.0.1", 0, ota::bench::fixedAnswerCallbacks(), error))
    {
        std::fprintf(stderr, "start failed: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "%u\n", static_cast<unsigned>(server.boundPort()));
    std::fflush(stderr);
    std::string line;
    while (std::getline(std::cin, line))
    {
    }
    server.stop();
    return 0;
}
