#include "api/http_request_view.h"

namespace ota::backend
{

namespace http = boost::beast::http;

S_HttpRequestView requestViewOf(http::request<http::string_body>& request, std::string_view client,
                                bool withBody)
{
    S_HttpRequestView view = requestHeaderViewOf(request, client);
    if (withBody)
    {
        view.body = request.body();
    }
    return view;
}

S_HttpRequestView requestHeaderViewOf(const http::request_header<>& request, std::string_view client)
{
    S_HttpRequestView view{request.method_string(), request.target(), {}, {}, {}, {}, client};
    for (auto [field, end] = request.equal_range(http::field::host); field != end; ++field)
    {
        view.hosts.push_back(field->value());
    }
    for (auto [field, end] = request.equal_range(http::field::origin); field != end; ++field)
    {
        view.origins.push_back(field->value());
    }
    for (auto [field, end] = request.equal_range(http::field::authorization); field != end; ++field)
    {
        view.credentials.authorizations.push_back(field->value());
    }
    for (auto [field, end] = request.equal_range(http::field::cookie); field != end; ++field)
    {
        view.credentials.cookies.push_back(field->value());
    }
    return view;
}

}  // namespace ota::backend
