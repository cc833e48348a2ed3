#include "app/error_reporting.h"

std::string error_reporting_release(const std::string& version) {
    // The release name had a 160-byte buffer; versions are short, so nothing is ever cut.
    return "velunio-printer@" + version;
}
