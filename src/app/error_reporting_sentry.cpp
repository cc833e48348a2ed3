#include "base/app_log.h"
#include "app/error_reporting.h"
#include "build_info.h"

#include <sentry.h>

void setup_error_reporting(const std::string& version, const std::string& /*crash_dir*/) {
    sentry_options_t* options = sentry_options_new();
    sentry_options_set_dsn(options, VELUNIO_SENTRY_DSN);
    sentry_options_set_release(options, error_reporting_release(version).c_str());
    sentry_options_set_environment(options, "production");
    sentry_init(options);
    app_log("[Sentry] Initialized. release=velunio-printer@%s", version.c_str());
}

void close_error_reporting() { sentry_close(); }
