#pragma once

// One pass of the bare kernel reads that one scrape makes, without parsing or
// formatting; returns the bytes the kernel handed over.
long read_sources_once(char** sources, int count);
