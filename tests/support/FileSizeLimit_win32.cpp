// File size limit on Windows: the system has no per-process limit, so the tests that need it skip.
#include "support/FileSizeLimit.h"

FileSizeLimit::FileSizeLimit(std::uint64_t) {}

FileSizeLimit::~FileSizeLimit() = default;
