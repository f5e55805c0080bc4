#pragma once

#include "api/api_router.h"

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <string_view>

namespace ota::backend
{

// The router's view of a parsed request (or of its header alone, before the body is read): the
// method, target, every Host, Origin, Authorization and Cookie value, as views into the request.
// Inside the API library (and its fuzz target) only: it brings Boost.Beast's message types.
S_HttpRequestView requestViewOf(boost::beast::http::request<boost::beast::http::string_body>& request,
                                std::string_view client, bool withBody);
// The view of a request's header alone (its body empty), whatever body type the request is read into.
S_HttpRequestView requestHeaderViewOf(const boost::beast::http::request_header<>& header,
                                      std::string_view client);

}  // namespace ota::backend
