#include <getopt.h>

#include <fmt/format.h>

#include <cstdio>
#include <string>

#include "app/exporter.hpp"
#include "app/revision.hpp"
#include "exposition/exposition.hpp"
#include "http/http_server.hpp"
#include "top/top_view.hpp"

namespace {

constexpr int option_metrics_prefix = 1000;
constexpr int option_dump = 1001;

const struct option long_options[] = {
    {"listen", required_argument, nullptr, 'l'},
    {"metrics-prefix", required_argument, nullptr, option_metrics_prefix},
    {"dump", no_argument, nullptr, option_dump},
    {"top-like", no_argument, nullptr, 't'},
    {"version", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

void print_usage(std::FILE* stream, const char* invocation)
{
    fmt::print(stream,
               "Usage: {} [-l ADDR:PORT] [--metrics-prefix PREFIX] [--dump] [-t] [-v] [-h]\n",
               invocation);
}

int serve(const std::string& listen_address, const std::string& metrics_prefix, Exporter& exporter)
{
    HttpServer server(listen_address,
                      [&exporter](std::string& body) { exporter.render_into(body); });
    if (!server.start())
        return 1;
    fmt::print(stderr, "kelmar-host-perfdata listening on {} (metrics prefix '{}')\n",
               listen_address, metrics_prefix);
    std::fflush(stderr);
    return server.run();
}

}  // namespace

int main(int argc, char* argv[])
{
    const char* invocation = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    std::string listen_address = "127.0.0.1:9272";
    std::string metrics_prefix = "kelmar_host";
    bool dump = false;
    bool top_like = false;

    for (;;) {
        const int option = getopt_long(argc, argv, "l:tvh", long_options, nullptr);
        if (option == -1)
            break;
        switch (option) {
        case 'l': listen_address = optarg; break;
        case option_metrics_prefix: metrics_prefix = optarg; break;
        case option_dump: dump = true; break;
        case 't': top_like = true; break;
        case 'v': fmt::print("{}\n", build_revision()); return 0;
        case 'h': print_usage(stdout, invocation); return 0;
        default: print_usage(stderr, invocation); return 1;
        }
    }

    if (top_like)
        return run_top_view();

    // A prefix outside the metric-name alphabet would make every scraper
    // reject every scrape while the program reports success.
    if (!is_valid_metrics_prefix(metrics_prefix)) {
        fmt::print(stderr,
                   "invalid metrics prefix '{}': it must be empty or match "
                   "[a-zA-Z_:][a-zA-Z0-9_:]*\n",
                   metrics_prefix);
        return 1;
    }

    Exporter exporter(metrics_prefix, std::string(build_revision()));
    if (dump) {
        const std::string text = exporter.render();
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        return 0;
    }
    return serve(listen_address, metrics_prefix, exporter);
}
