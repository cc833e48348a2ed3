#include "base/ipp_port.h"

#include <cstdlib>

int ipp_port_from_value(std::optional<std::string_view> value)
{
    if (!value || value->empty() || value->size() > 5)
        return default_ipp_port;
    int port = 0;
    for (char c : *value) {
        if (c < '0' || c > '9')
            return default_ipp_port;
        port = port * 10 + (c - '0');
    }
    return (port >= 1 && port <= 65535) ? port : default_ipp_port;
}

int ipp_port_from_environment()
{
    const char* value = std::getenv("VELUNIO_IPP_PORT");
    if (!value)
        return default_ipp_port;
    return ipp_port_from_value(std::string_view(value));
}
