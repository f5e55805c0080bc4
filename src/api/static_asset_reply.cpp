#include "api/static_asset_reply.h"

namespace ota::backend
{

std::string buildContentSecurityPolicy(std::string_view host)
{
    std::string connect = "connect-src 'self'";
    if (!host.empty())
    {
        connect.append(" ws://").append(host);
    }
    return "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; " + connect +
           "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
}

S_HttpReply buildStaticAssetReply(std::string_view method, std::string_view path, std::string_view host,
                                  const S_StaticAsset& asset)
{
    if (method != "GET")
    {
        S_HttpReply reply =
            rejectRequest(method, path, 405, "METHOD_NOT_ALLOWED",
                          "Method " + std::string(method) + " is not allowed for " + std::string(path));
        reply.allow = "GET";
        return reply;
    }
    S_HttpReply reply;
    reply.status = 200;
    reply.body.assign(asset.body);
    reply.contentType = asset.contentType;
    reply.headers.emplace_back("Cache-Control", std::string(asset.cacheControl));
    reply.headers.emplace_back("Content-Security-Policy", buildContentSecurityPolicy(host));
    reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
    reply.headers.emplace_back("Referrer-Policy", "no-referrer");
    logHttpResult(method, path, 200, {});
    return reply;
}

}  // namespace ota::backend
