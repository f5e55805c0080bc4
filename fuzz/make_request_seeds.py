#!/usr/bin/env python3
"""Writes the seed corpora of the text fuzz targets (configuration, topology, request bodies,
HTTP requests) into fuzz/corpus/, from the example site and the requests the tests send. Run
again only to change the seeds; the files are committed."""

import json
import pathlib

HERE = pathlib.Path(__file__).resolve().parent
EXAMPLES = HERE.parent / "examples"
TOKEN = "k" * 48
FIRMWARE = "/tmp/ota-fuzz-firmware"


def write(directory, name, data):
    path = HERE / "corpus" / directory
    path.mkdir(parents=True, exist_ok=True)
    (path / name).write_bytes(data if isinstance(data, bytes) else data.encode())


def config_seeds():
    for source in sorted((EXAMPLES / "config").glob("*.json")):
        write("config_text", source.stem, source.read_bytes())
    base = json.loads((EXAMPLES / "config" / "ota-backend.json").read_text())
    access = dict(base, apiAccess={"tokenFile": "../secret/api-token"})
    write("config_text", "api_access", json.dumps(access))
    minimal = {k: base[k] for k in ("httpHost", "httpPort", "deviceConcurrency", "connectTimeoutMs",
                                    "ackTimeoutMs", "stageTimeoutMs", "flashTimeoutMs", "restartTimeoutMs",
                                    "chunkSize")}
    write("config_text", "minimal_ipv6", json.dumps(dict(minimal, httpHost="::1")))
    write("config_text", "bad_signature_shape",
          json.dumps(dict(minimal, firmwareSignature={"required": "yes", "publicKeyFiles": []})))


def topology_seeds():
    site = (EXAMPLES / "topology" / "site.json").read_bytes()
    write("topology_text", "example_site", site)
    document = json.loads(site)
    document["nodes"] = document["nodes"][:3]
    write("topology_text", "three_nodes", json.dumps(document, separators=(",", ":")))


def body(route, value):
    return bytes([route]) + (value if isinstance(value, bytes) else json.dumps(value).encode())


def file_entry(slot, name, version):
    return {"fileSlotKey": slot, "filePath": f"{FIRMWARE}/{name}", "targetVersion": version}


def target(node, component, index, version, slot, force=False):
    return {"nodeId": node, "componentTypeId": component, "componentIndex": index,
            "currentVersion": version, "fileSlotKey": slot, "force": force}


def request_body_seeds():
    files = [file_entry("pcs:dsp1", "dsp.bin", "D1.1"), file_entry("bms:bcu", "bcu.bin", "C2")]
    write("request_body", "inspect", body(0, {"files": files}))
    write("request_body", "inspect_missing_file", body(0, {"files": [file_entry("x", "none.bin", "1")]}))
    write("request_body", "inspect_array", body(0, [1, 2]))
    preview = {"upgradeId": "task_01",
               "targets": [target("pcs-1", "PCS_DSP1", 1, "D1.0", "pcs:dsp1"),
                           target("bms-1", "BMS_BCU", 3, "C1", "bms:bcu", True)],
               "files": files}
    write("request_body", "preview", body(1, preview))
    write("request_body", "preview_all_bcus",
          body(1, dict(preview, targets=[target("bms-1", "BMS_BCU", "ALL", "C1", "bms:bcu")])))
    write("request_body", "preview_meter", body(1, dict(preview, targets=[target("meter-1", "EMU", 1, "M1", "x")])))
    write("request_body", "capture_on", body(2, {"enabled": True}))
    write("request_body", "capture_text", body(2, {"enabled": "yes"}))
    write("request_body", "session", body(3, {"token": "t" * 40}))
    write("request_body", "session_wrong", body(3, {"token": "wrong"}))
    write("request_body", "broken_json", bytes([1]) + b'{"upgradeId":')
    write("request_body", "rollout", body(4, {"rolloutId": "night_1", "targets": preview["targets"],
                                              "files": files}))
    write("request_body", "rollout_policy", body(4, {"rolloutId": "night_2", "targets": preview["targets"],
                                                     "files": files,
                                                     "policy": {"groupSizes": [1, 1], "maxFailedDevices": 1,
                                                                "retryRounds": 1, "manualAdvance": True}}))
    write("request_body", "retry", body(5, {"upgradeId": "retry_1"}))
    write("request_body", "retry_extra", body(5, {"upgradeId": "retry_1", "force": True}))
    write("request_body", "baseline_site", body(6, {"from": "site", "allowMissing": True, "note": "commissioning"}))
    write("request_body", "baseline_components",
          body(6, {"components": [{"nodeId": "pcs-1", "componentTypeId": "pcs_dsp1", "componentIndex": 1,
                                   "version": "D1.1"},
                                  {"nodeId": "bms-1", "componentTypeId": "BMS_BCU", "componentIndex": 12,
                                   "version": "C2"}]}))
    write("request_body", "baseline_reinstate", body(6, {"baselineNo": 1}))
    write("request_body", "baseline_unknown_node",
          body(6, {"components": [{"nodeId": "x", "componentTypeId": "EMU", "componentIndex": 1, "version": "1"}]}))
    write("request_body", "converge", body(7, {"rolloutId": "back_1", "policy": {"groupSizes": [1]}}))
    write("request_body", "converge_targets", body(7, {"rolloutId": "back_2", "targets": []}))


def http(method, target, body=b"", headers=()):
    lines = [f"{method} {target} HTTP/1.1", "Host: 127.0.0.1:18080"] + list(headers)
    if body:
        lines.append(f"Content-Length: {len(body)}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


def http_request_seeds():
    json_type = "Content-Type: application/json"
    bearer = f"Authorization: Bearer {TOKEN}"
    write("http_request", "health", b"\x00" + http("GET", "/api/v1/health"))
    write("http_request", "metrics_token", b"\x01" + http("GET", "/metrics"))
    write("http_request", "pipelined", b"\x01" + http("GET", "/api/v1/devices/status") +
          http("POST", "/api/v1/upgrades/12/abort") + http("POST", "/api/v1/upgrades/start"))
    write("http_request", "inspect", b"\x02" + http("POST", "/api/v1/firmware/inspect", b'{"files":[]}',
                                                    [json_type]))
    write("http_request", "capture", b"\x01" + http("POST", "/api/v1/devices/frames/capture",
                                                    b'{"enabled":true}', [json_type]))
    write("http_request", "login", b"\x00" + http("POST", "/api/v1/session",
                                                  json.dumps({"token": TOKEN}).encode(), [json_type]))
    write("http_request", "logout", b"\x02" + http("POST", "/api/v1/session/logout"))
    write("http_request", "audit_query", b"\x00" + http("GET", "/api/v1/audit?limit=5&before=9", headers=[bearer]))
    write("http_request", "foreign_origin", b"\x01" + http("POST", "/api/v1/scene/reload",
                                                           headers=["Origin: http://evil.example"]))
    write("http_request", "event_stream", b"\x01" + http("GET", "/api/v1/events", headers=[
        "Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Version: 13",
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="]))
    write("http_request", "console", b"\x00" + http("GET", "/index.html"))
    write("http_request", "chunked", b"\x01" + b"POST /api/v1/upgrades/preview HTTP/1.1\r\nHost: localhost\r\n"
          b"Transfer-Encoding: chunked\r\n\r\n5\r\n{\"a\":\r\n2\r\n1}\r\n0\r\n\r\n")
    write("http_request", "wrong_method", b"\x01" + http("DELETE", "/api/v1/upgrades/history"))
    write("http_request", "rollout_start", b"\x01" + http("POST", "/api/v1/rollouts/3/start"))
    write("http_request", "retry", b"\x01" + http("POST", "/api/v1/upgrades/9/retry", b'{"upgradeId":"r"}',
                                                  [json_type]))
    write("http_request", "history_page", b"\x01" + http("GET", "/api/v1/upgrades/history?limit=2&before=5"))
    write("http_request", "http10_no_host", b"\x00GET /api/v1/workspace HTTP/1.0\r\n\r\n")
    write("http_request", "store_upload", b"\x01" + http(
        "POST", "/api/v1/firmware/store?name=emu%20v7.bin&componentTypeId=EMU&version=7.0.0", b"\x00\x01firmware"))
    write("http_request", "store_upload_chunked", b"\x01" + b"POST /api/v1/firmware/store?name=a+b HTTP/1.1\r\n"
          b"Host: localhost\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n")
    write("http_request", "store_upload_bad_query", b"\x01" + http(
        "POST", "/api/v1/firmware/store?name=a%2&componentTypeId=EMU", b"x"))
    write("http_request", "store_signature", b"\x01" + http(
        "POST", "/api/v1/firmware/store/" + "0" * 64 + "/signature", bytes(range(72))))


def main():
    config_seeds()
    topology_seeds()
    request_body_seeds()
    http_request_seeds()


if __name__ == "__main__":
    main()
