#pragma once

// The terminal dashboard: redraws once a second until SIGINT or SIGTERM and
// returns the exit status.
int run_top_view();
