#include <errno.h>
#include <getopt.h>

#include <fmt/format.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/exporter.hpp"
#include "app/readiness.hpp"
#include "app/revision.hpp"
#include "common/diagnostic.hpp"
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

std::string usage(const char* invocation)
{
    return fmt::format(
        "Usage: {} [-l ADDR:PORT] [--metrics-prefix PREFIX] [--dump] [-t] [-v] [-h]\n", invocation);
}

// Writes `text` to standard output and flushes it: 0, or 1 after saying on
// standard error that it could not all be written (a full disk, a closed
// descriptor), so that a job writing a dump into a file cannot report success
// for a truncated one.
int write_output(const std::string& text)
{
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    if (std::fflush(stdout) == 0 && written && !std::ferror(stdout))
        return 0;
    diagnose("cannot write to standard output: {}\n",
             errno != 0 ? std::strerror(errno) : "write failed");
    return 1;
}

int serve(const std::string& listen_address, const std::string& metrics_prefix, Exporter& exporter)
{
    HttpServer server(listen_address,
                      [&exporter](std::string& body) { exporter.render_into(body); });
    if (!server.start())
        return 1;
    diagnose("kelmar-host-perfdata listening on {} (metrics prefix '{}')\n", listen_address,
             metrics_prefix);
    std::fflush(stderr);
    notify_ready();
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
        case 'v': return write_output(fmt::format("{}\n", build_revision()));
        case 'h': return write_output(usage(invocation));
        default: std::fputs(usage(invocation).c_str(), stderr); return 1;
        }
    }

    if (top_like)
        return run_top_view();

    // A prefix outside the metric-name alphabet would make every scraper
    // reject every scrape while the program reports success.
    if (!is_valid_metrics_prefix(metrics_prefix)) {
        diagnose("invalid metrics prefix '{}': it must be empty or match "
                 "[a-zA-Z_:][a-zA-Z0-9_:]*\n",
                 metrics_prefix);
        return 1;
    }

    Exporter exporter(metrics_prefix, std::string(build_revision()));
    if (dump) {
        return write_output(exporter.render());
    }
    return serve(listen_address, metrics_prefix, exporter);
}
