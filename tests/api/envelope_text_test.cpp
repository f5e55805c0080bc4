// Documents embedded as text give the same envelope bytes as documents parsed and written again.
#include "api/api_envelope.h"
#include "api/event_envelope.h"
#include "common/json_text.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

using json = nlohmann::json;

TEST(EnvelopeText, CanonicalAndOtherTextGiveTheSameEnvelope)
{
    for (const std::string data : {"{\"a\":[1,-2,true,null],\"b\":\"储能\\n\"}", "{ \"b\" : 1, \"a\" : 2 }",
                                   "[]", "\"text\"", "1.5", "{\"\\u0041\":1}"})
    {
        EXPECT_EQ(buildSuccessEnvelopeFromText(data, "ota-1-1", 42),
                  buildSuccessEnvelope(json::parse(data), "ota-1-1", 42))
            << data;
    }
    EXPECT_THROW(buildSuccessEnvelopeFromText("{broken", "ota-1-2", 42), json::exception);

    const std::string data = "{\"nodes\":[{\"id\":\"pcs-1\"}],\"status\":\"READY\"}";
    EXPECT_EQ(buildEventEnvelopeAroundText("device.status", data, 7, 1765000000000),
              buildEventEnvelope("device.status", json::parse(data), 7, 1765000000000));
    EXPECT_THROW(buildEventEnvelopeAroundText("bad\xFF", data, 8, 1), std::invalid_argument);
}

}  // namespace
}  // namespace ota::backend
