#include "api/firmware_store_adapters.h"

#include "api/adapter_run.h"
#include "api/streamed_body.h"

#include <algorithm>
#include <optional>

namespace ota::backend
{

namespace
{

constexpr unsigned kBadRequest = 400;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
    {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f')
    {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F')
    {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::string> percentDecoded(std::string_view text)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t index = 0; index < text.size(); ++index)
    {
        const char c = text[index];
        if (c == '+')
        {
            decoded.push_back(' ');
        }
        else if (c != '%')
        {
            decoded.push_back(c);
        }
        else
        {
            if (index + 2 >= text.size())
            {
                return std::nullopt;
            }
            const int high = hexValue(text[index + 1]);
            const int low = hexValue(text[index + 2]);
            if (high < 0 || low < 0)
            {
                return std::nullopt;
            }
            decoded.push_back(static_cast<char>(high * 16 + low));
            index += 2;
        }
    }
    return decoded;
}

bool isLowerHexDigest(std::string_view text)
{
    return text.size() == 64 &&
           std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

bool parseFirmwareUploadQuery(std::string_view query, S_FirmwareUploadQuery& result, std::string& error)
{
    result = S_FirmwareUploadQuery{};
    error.clear();
    bool nameSeen = false;
    bool typeSeen = false;
    bool versionSeen = false;
    while (!query.empty())
    {
        const std::size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
        const std::size_t equals = pair.find('=');
        const std::string_view key = pair.substr(0, equals);
        const std::string_view raw =
            equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
        const struct
        {
            std::string_view key;
            bool& seen;
            std::string& value;
        } fields[] = {{"name", nameSeen, result.name},
                      {"componentTypeId", typeSeen, result.componentTypeId},
                      {"version", versionSeen, result.version}};
        for (const auto& field : fields)
        {
            if (key != field.key)
            {
                continue;
            }
            std::optional<std::string> value = percentDecoded(raw);
            if (field.seen || !value || value->empty())
            {
                error = std::string(field.key) + " must be given once, percent-encoded and not empty";
                return false;
            }
            field.seen = true;
            field.value = std::move(*value);
        }
    }
    if (!nameSeen)
    {
        error = "name is required: the file name the firmware is kept under";
        return false;
    }
    if (typeSeen != versionSeen)
    {
        error = "componentTypeId and version label the file together: give both or neither";
        return false;
    }
    result.labelled = typeSeen;
    return true;
}

S_HttpReply invokeFirmwareStoreUploadHandler(std::string_view path, const FirmwareUploadHandler& handler,
                                             std::uint64_t limit, const S_ApiRequest& request)
{
    S_FirmwareUploadQuery query;
    std::string error;
    if (!parseFirmwareUploadQuery(request.query, query, error))
    {
        return rejectRequest("POST", path, kBadRequest, "INVALID_REQUEST_QUERY", error);
    }
    // Without a stream (a body read whole, as in the fuzz targets) the body is read from memory.
    std::string_view rest = request.body;
    const RequestBodySource source = [&request, &rest](const std::uint8_t*& data)
    {
        if (request.stream != nullptr)
        {
            return request.stream->next(data);
        }
        data = reinterpret_cast<const std::uint8_t*>(rest.data());
        const std::size_t count = rest.size();
        rest = {};
        return static_cast<std::ptrdiff_t>(count);
    };
    E_RouteRefusal refusal = E_RouteRefusal::USUAL;
    const JsonHandler bound = [&](std::string& responseJson, std::string& errorMessage)
    { return handler && handler(query, source, responseJson, errorMessage, refusal); };
    const auto answer = [&]() -> S_FailureAnswer
    {
        const E_StreamedBodyFault fault =
            request.stream != nullptr ? request.stream->fault() : E_StreamedBodyFault::NONE;
        if (fault == E_StreamedBodyFault::TOO_LARGE)
        {
            return {"REQUEST_TOO_LARGE", 413};
        }
        if (fault == E_StreamedBodyFault::BROKEN)
        {
            return {"INVALID_HTTP_REQUEST", kBadRequest};
        }
        switch (refusal)
        {
            case E_RouteRefusal::INVALID_QUERY:
                return {"INVALID_REQUEST_QUERY", kBadRequest};
            case E_RouteRefusal::FULL:
                return {"FIRMWARE_STORE_FULL", 507};
            default:
                break;
        }
        return {"FIRMWARE_STORE_UNAVAILABLE", 503};
    };
    S_HttpReply reply = runHandler("POST", path, bound, 200, answer);
    if (reply.status == 413)
    {
        // The callback's own message cannot know the transport's limit.
        return rejectRequest("POST", path, 413, "REQUEST_TOO_LARGE",
                             "Request body exceeds " + std::to_string(limit) + " bytes");
    }
    return reply;
}

S_HttpReply invokeFirmwareStoreSignatureHandler(std::string_view path,
                                                const FirmwareDigestBodyHandler& handler,
                                                const S_ApiRequest& request)
{
    const std::string sha256(request.parameter.value_or(std::string_view()));
    if (!isLowerHexDigest(sha256))
    {
        return rejectRequest("POST", path, kBadRequest, "INVALID_FIRMWARE_SHA256",
                             "The firmware SHA-256 must be 64 lower-case hexadecimal digits");
    }
    E_RouteRefusal refusal = E_RouteRefusal::USUAL;
    const JsonHandler bound = [&](std::string& responseJson, std::string& errorMessage)
    { return handler && handler(sha256, request.body, responseJson, errorMessage, refusal); };
    return runHandler("POST", path, bound, 200,
                      [&refusal]() -> S_FailureAnswer
                      {
                          if (refusal == E_RouteRefusal::NOT_FOUND)
                          {
                              return {"FIRMWARE_NOT_FOUND", 404};
                          }
                          if (refusal == E_RouteRefusal::INVALID_BODY)
                          {
                              return {"INVALID_REQUEST_BODY", kBadRequest};
                          }
                          return {"FIRMWARE_STORE_UNAVAILABLE", 503};
                      });
}

}  // namespace ota::backend
