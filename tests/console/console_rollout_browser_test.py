#!/usr/bin/env python3
"""The console's Rollouts view and retries in headless Chromium against the real backend and simulator.

The example site on free ports: three ticked components on three devices make a rollout with a
canary of one device that waits after its group; the page shows the groups it makes, creates it,
starts it, shows it PAUSED after the canary with its reason (in the view and the header) and each
device's task and error under their own headers, resumes it to SUCCESS with every device's result;
a second rollout is cancelled; a task with a device that refuses its target list is retried from
the Run tab to SUCCESS, and the History offers the retry on the failed task. Site holds placed
through the API and by the hold file show in the header's banner, the API's with their lease end
and a Release button that asks first and shows a refusal. The Baseline tab takes a baseline from the
site, shows a component that a task run through the API moved away from it as drifted, and reinstates
an earlier baseline from its list. Every wait is a condition with a
generous bound; nothing sleeps.
"""

import argparse
import hashlib
import json
import os
import sys
import tempfile
import time
from pathlib import Path

from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

sys.dont_write_bytecode = True  # the shared helpers are imported from the source tree; write nothing there
import console_browser_test as site  # noqa: E402
from console_browser_test import (  # noqa: E402
    Process, api, check_browser_log, confirm, device_states, make_driver, no_horizontal_scroll, run_rows, tab, texts,
    tick, wait)


def write_scenario(work):
    """Quick devices; bms-2 refuses its first target list."""
    scenario = {"schemaVersion": 1, "rules": [
        {"settings": {"preparationMs": 100, "flashMs": 100, "rebootMs": 200, "progressIntervalMs": 50}},
        {"nodeIds": ["bms-2"], "faults": [{"fault": "REFUSE_TARGET_LIST", "times": 1}]},
    ]}
    (work / "scenario.json").write_text(json.dumps(scenario), encoding="utf-8")


def rollout_detail(driver):
    return {"status": driver.find_element(By.ID, "rollout-status").text,
            "reason": driver.find_element(By.ID, "rollout-reason").text,
            "groups": [(tr.get_attribute("data-group-no"), tr.get_attribute("data-status"))
                       for tr in driver.find_elements(By.CSS_SELECTOR, "#rollout-group-rows tr")],
            "devices": {tr.get_attribute("data-node-id"): tr.get_attribute("data-result")
                        for tr in driver.find_elements(By.CSS_SELECTOR, "#rollout-device-rows tr")}}


# The device table as an operator reads it: each cell's text goes with the column header whose text
# is horizontally nearest to it (a right-aligned number under a left-aligned header reads as the
# next column's).
READ_DEVICE_CELLS = """
const box = (node) => { const range = document.createRange(); range.selectNodeContents(node);
  return range.getBoundingClientRect(); };
const gap = (a, b) => Math.max(0, a.left - b.right, b.left - a.right);
const headers = [...document.querySelectorAll('#rollout-devices thead th')]
  .map((th) => ({ name: th.textContent.trim(), box: box(th) }));
const rows = {};
for (const tr of document.querySelectorAll('#rollout-device-rows tr')) {
  const row = {};
  for (const td of tr.querySelectorAll('td')) {
    const text = td.innerText.trim();
    if (text !== '') {
      const cell = box(td);
      const header = headers.reduce((best, h) => (gap(cell, h.box) < gap(cell, best.box) ? h : best));
      row[header.name] = row[header.name] ? `${row[header.name]} ${text}` : text;
    }
  }
  rows[tr.dataset.nodeId] = row;
}
return rows;
"""


def rollout_device_cells(driver):
    """The device table's rows by node id, each cell's text by the header it stands under."""
    driver.execute_script("document.getElementById('rollout-devices').scrollIntoView()")
    return driver.execute_script(READ_DEVICE_CELLS)


def rollout_indicator(driver):
    node = driver.find_element(By.ID, "rollout-indicator")
    if node.get_attribute("hidden") is not None:
        return None
    return {"name": driver.find_element(By.ID, "rollout-indicator-name").text,
            "status": driver.find_element(By.ID, "rollout-indicator-status").text,
            "progress": driver.find_element(By.ID, "rollout-indicator-progress").text}


def hold_banner(driver):
    """The holds the header's banner shows by source, or None while it is hidden."""
    if driver.find_element(By.ID, "hold-banner").get_attribute("hidden") is not None:
        return None
    return {li.get_attribute("data-source"): (li.find_element(By.CSS_SELECTOR, ".hold-text").text,
                                              " ".join(texts(li, ".hold-until")),
                                              len(li.find_elements(By.CSS_SELECTOR, "button.hold-release")))
            for li in driver.find_elements(By.CSS_SELECTOR, "#hold-list li")}


def release_in_banner(driver, source):
    driver.find_element(By.CSS_SELECTOR, f'#hold-list li[data-source="{source}"] button.hold-release').click()
    wait(driver, lambda d: d.find_element(By.ID, "confirm").get_attribute("open") is not None, "no confirmation asked")


def check_hold_banner(driver, port, work, out):
    assert hold_banner(driver) is None
    placed = api(port, "POST", "/api/v1/site/holds", {"source": "ems", "reason": "peak shaving", "ttlSeconds": 3600})
    assert placed["success"], placed
    until = time.strftime("until %Y-%m-%d %H:%M:%S", time.localtime(placed["data"]["holds"][0]["expiresAt"] / 1000))
    (work / "site-hold").write_text("grid event\n", encoding="utf-8")
    held = {"ems": ("ems: peak shaving", until, 1), "file": ("file: grid event", "", 0)}
    wait(driver, lambda d: hold_banner(d) == held, "the banner does not show every hold")
    driver.refresh()  # a page opened while held
    wait(driver, lambda d: hold_banner(d) == held, "a page opened while held shows no banner")
    driver.save_screenshot(str(out / "console-site-held.png"))

    release_in_banner(driver, "ems")
    driver.find_element(By.ID, "confirm-no").click()
    assert len(api(port, "GET", "/api/v1/site/holds")["data"]["holds"]) == 2
    # Released elsewhere while the operator is asked: the refusal shows under the holds.
    release_in_banner(driver, "ems")
    assert api(port, "POST", "/api/v1/site/holds/ems/release")["success"]
    assert api(port, "POST", "/api/v1/site/holds", {"source": "bms", "reason": "balancing", "ttlSeconds": 0})["success"]
    driver.find_element(By.ID, "confirm-yes").click()
    wait(driver, lambda d: d.find_element(By.ID, "hold-error").text.startswith("HOLD_NOT_FOUND: ") and
         hold_banner(d) == {"file": held["file"], "bms": ("bms: balancing", "", 1)}, "the refused release is not shown")

    (work / "site-hold").unlink()
    wait(driver, lambda d: list(hold_banner(d) or {}) == ["bms"], "the hold file's hold does not go with the file")
    release_in_banner(driver, "bms")
    driver.find_element(By.ID, "confirm-yes").click()
    wait(driver, lambda d: hold_banner(d) is None, "the banner stays after the last hold was released")
    assert api(port, "GET", "/api/v1/site/holds")["data"]["held"] is False


def baseline_rows(driver):
    """The report's rows: (node id, component type, index) -> (state, upgrading)."""
    return {(tr.get_attribute("data-node-id"), tr.get_attribute("data-type-id"), tr.get_attribute("data-index")):
            (tr.get_attribute("data-state"), tr.get_attribute("data-upgrading"))
            for tr in driver.find_elements(By.CSS_SELECTOR, "#baseline-rows tr")}


def check_baseline(driver, port, files, out):
    """Set from the site, a drift made through the API shows by its event, reinstate through the list."""
    tab(driver, "baseline")
    wait(driver, lambda d: d.find_element(By.ID, "baseline-none").get_attribute("hidden") is None,
         "a site without a baseline does not say so")
    assert driver.find_element(By.ID, "baseline-present").get_attribute("hidden") is not None
    assert driver.find_element(By.ID, "baseline-head").get_attribute("hidden") is not None

    nodes = api(port, "GET", "/api/v1/devices/status")["data"]["communicationNodes"]
    components = {(n["nodeId"], c["typeId"], str(c["index"])) for n in nodes for c in n["components"]}
    driver.find_element(By.ID, "baseline-note").send_keys("after the rollouts")
    driver.find_element(By.ID, "baseline-set").click()
    wait(driver, lambda d: baseline_rows(d) == {key: ("MATCH", "false") for key in components},
         "the baseline set from the site does not match every component")
    assert driver.find_element(By.ID, "baseline-result").text.startswith("Baseline 1 taken with ")
    assert "after the rollouts" in driver.find_element(By.ID, "baseline-title").text
    csv = driver.find_element(By.ID, "baseline-csv")
    assert csv.get_attribute("href").endswith("/api/v1/baseline/report?format=csv")
    assert csv.get_attribute("download") is not None

    # An ordinary task, not through the console, moves emu-1 away from its baseline version.
    emu = ("emu-1", "EMU", "1")
    emu_version = next(c["version"] for n in nodes if n["nodeId"] == "emu-1" for c in n["components"]
                       if c["typeId"] == "EMU")
    preview = api(port, "POST", "/api/v1/upgrades/preview", {
        "upgradeId": "drift_emu", "targets": [{"nodeId": "emu-1", "componentTypeId": "EMU", "componentIndex": 1,
                                               "currentVersion": emu_version, "fileSlotKey": "emu:emu",
                                               "force": False}],
        "files": [{"fileSlotKey": "emu:emu", "filePath": str(files["emu:emu"][0]), "targetVersion": "3.0.0"}]})
    assert preview["success"], preview
    assert api(port, "POST", "/api/v1/upgrades/start")["success"]
    wait(driver, lambda d: baseline_rows(d).get(emu) == ("DRIFT", "false") and
         d.find_element(By.ID, "baseline-summary").text.startswith(f"{len(components) - 1} match · 1 drift"),
         "the drifted component does not turn DRIFT")
    driver.save_screenshot(str(out / "console-baseline-drift.png"))

    # A second baseline takes the new version; reinstating the first brings the drift back.
    driver.find_element(By.ID, "baseline-set").click()
    wait(driver, lambda d: baseline_rows(d).get(emu) == ("MATCH", "false") and
         len(d.find_elements(By.CSS_SELECTOR, "#baseline-list-rows tr")) == 2, "the second baseline is not shown")
    driver.find_element(By.CSS_SELECTOR, '#baseline-list-rows tr[data-baseline-no="1"] button.reinstate').click()
    confirm(driver)
    wait(driver, lambda d: baseline_rows(d).get(emu) == ("DRIFT", "false") and
         d.find_element(By.ID, "baseline-title").text.startswith("Baseline 3") and
         len(d.find_elements(By.CSS_SELECTOR, "#baseline-list-rows tr")) == 3, "the reinstated baseline is not shown")
    assert no_horizontal_scroll(driver), "the Baseline tab scrolls sideways at 1280 x 800"

    # Converge: emu-1's EMU back to the reinstated version, from the file the store labelled with it;
    # the READY rollout opens on the Rollouts tab.
    driver.find_element(By.ID, "converge").click()
    wait(driver, lambda d: not d.find_element(By.ID, "panel-rollouts").get_attribute("hidden") and
         rollout_detail(d)["status"] == "READY" and
         "converge" in Select(d.find_element(By.ID, "rollout-select")).first_selected_option.text,
         "the converge rollout is not shown: " + driver.find_element(By.ID, "converge-error").text)
    assert rollout_detail(driver)["devices"] == {"emu-1": "PENDING"}, rollout_detail(driver)


def main(args):
    work = Path(tempfile.mkdtemp(prefix="ota-console-rollout-test-"))
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    port = site.write_site(args, work)
    write_scenario(work)
    config = json.loads((work / "ota-backend.json").read_text(encoding="utf-8"))
    config["siteHoldFile"] = str(work / "site-hold")
    (work / "ota-backend.json").write_text(json.dumps(config), encoding="utf-8")
    simulator = Process("ota-device-sim", [args.simulator, "--topology", str(work / "site.json"), "--scenario",
                                          str(work / "scenario.json"), "--quiet", "--no-summary"], work)
    backend = None
    driver = None
    try:
        simulator.wait_for_line("[READY]")
        backend = site.start_backend(args, work)
        driver = make_driver(work)
        driver.get(f"http://127.0.0.1:{port}/")
        wait(driver, lambda d: len(device_states(d)) == 5 and all(s == "CONNECTED" for s in device_states(d)),
             "not every device shows CONNECTED")

        files = {}
        tab(driver, "firmware")
        for position, (slot, name) in enumerate((("emu:emu", "emu.bin"), ("pcs:dsp1", "pcs-dsp1.bin"),
                                                  ("bms:bau", "bms-bau.bin"))):
            data = os.urandom(30_000 + position * 1_000)
            (work / name).write_bytes(data)
            files[slot] = (work / name, hashlib.sha256(data).hexdigest())
            if position > 0:
                driver.find_element(By.ID, "add-file").click()
            row = driver.find_elements(By.CSS_SELECTOR, "#file-rows tr")[position]
            Select(row.find_element(By.TAG_NAME, "select")).select_by_value(slot)
            inputs = row.find_elements(By.CSS_SELECTOR, 'input[type="text"]')
            inputs[0].send_keys(str(work / name))
            inputs[1].send_keys("2.0.0")

        # The plan: three components on three devices, a canary of one that waits after its group.
        tab(driver, "site")
        tick(driver, "emu-1", "EMU")
        tick(driver, "pcs-1", "PCS_DSP1")
        tick(driver, "pcs-2", "PCS_DSP1")
        tab(driver, "rollouts")
        sizes = driver.find_element(By.ID, "rollout-group-sizes")
        sizes.send_keys("1")
        wait(driver, lambda d: [tr.find_elements(By.TAG_NAME, "td")[1].text
                                for tr in d.find_elements(By.CSS_SELECTOR, "#rollout-plan-groups tr")] == ["1", "2"],
             "the groups the rollout makes are not shown before it is created")
        driver.find_element(By.ID, "rollout-manual").click()
        driver.find_element(By.ID, "rollout-cap-pcs").send_keys("1")
        rollout_id = driver.find_element(By.ID, "rollout-id")
        rollout_id.clear()
        rollout_id.send_keys("bad-id")
        driver.find_element(By.ID, "rollout-create").click()
        wait(driver, lambda d: d.find_element(By.ID, "rollout-error").text.startswith("ROLLOUT_REJECTED: "),
             "a refused rollout does not show its code")
        rollout_id.clear()
        rollout_id.send_keys("console_rollout")
        driver.find_element(By.ID, "rollout-create").click()
        wait(driver, lambda d: rollout_detail(d)["status"] == "READY" and
             rollout_detail(d)["groups"] == [("1", "PENDING"), ("2", "PENDING")], "the created rollout is not shown")
        assert driver.find_element(By.ID, "rollout-error").text == ""
        # The cap typed in the form is the rollout's policy, and the view shows it.
        listed = api(port, "GET", "/api/v1/rollouts")["data"]["rollouts"]
        policy = next(r for r in listed if r["rolloutId"] == "console_rollout")["policy"]
        assert policy.get("maxConcurrentPerType") == {"PCS": 1} and "soakSeconds" not in policy, policy
        assert "at most 1 PCS down at once" in driver.find_element(By.ID, "rollout-policy").text
        assert not driver.find_element(By.ID, "rollout-start").get_attribute("disabled")
        assert driver.find_element(By.ID, "rollout-resume").get_attribute("disabled")

        # Start (asked first): the canary runs and the rollout waits, in the view and in the header.
        driver.find_element(By.ID, "rollout-start").click()
        confirm(driver)
        wait(driver, lambda d: rollout_detail(d)["status"] == "PAUSED", "the rollout does not wait after the canary")
        detail = rollout_detail(driver)
        assert detail["reason"] == "Reason: Group 1 passed; resume to start group 2", detail
        assert detail["groups"] == [("1", "SUCCESS"), ("2", "PENDING")], detail
        assert detail["devices"] == {"emu-1": "SUCCESS", "pcs-1": "PENDING", "pcs-2": "PENDING"}, detail
        wait(driver, lambda d: (rollout_indicator(d) or {}).get("status") == "PAUSED" and
             rollout_indicator(d)["name"].startswith("Rollout console_rollout #"),
             "the header does not show the paused rollout")
        # Each device's task number under Task and its error text under Error, as the backend has them.
        document = api(port, "GET", "/api/v1/rollouts/current")["data"]["rollout"]
        cells = rollout_device_cells(driver)
        for device in document["devices"]:
            row = cells[device["nodeId"]]
            assert row.get("Task") == (str(device["upgradeNo"]) if device["upgradeNo"] else "—"), (row, device)
            assert row.get("Error", "") == device["error"], (row, device)
            assert row.get("Group") == str(device["groupNo"]) and row.get("Result") == device["result"], row
        driver.save_screenshot(str(out / "console-rollout-paused.png"))

        driver.find_element(By.ID, "rollout-resume").click()
        confirm(driver)
        wait(driver, lambda d: rollout_detail(d)["status"] == "SUCCESS", "the resumed rollout does not succeed")
        detail = rollout_detail(driver)
        assert detail["groups"] == [("1", "SUCCESS"), ("2", "SUCCESS")], detail
        assert set(detail["devices"].values()) == {"SUCCESS"}, detail
        wait(driver, lambda d: (rollout_indicator(d) or {}).get("status") == "SUCCESS" and
             rollout_indicator(d)["progress"].startswith("3 / 3 devices upgraded"),
             "the header does not show the finished rollout")
        assert no_horizontal_scroll(driver), "the page scrolls sideways at 1280 x 800"

        # A second rollout, cancelled before it started; the indicator leads to the Rollouts tab.
        rollout_id.clear()
        rollout_id.send_keys("cancelled_one")
        driver.find_element(By.ID, "rollout-create").click()
        wait(driver, lambda d: rollout_detail(d)["status"] == "READY" and
             "cancelled_one" in Select(d.find_element(By.ID, "rollout-select")).first_selected_option.text,
             "the second rollout is not shown")
        driver.find_element(By.ID, "rollout-cancel").click()
        confirm(driver)
        wait(driver, lambda d: rollout_detail(d)["status"] == "CANCELLED", "the rollout is not cancelled")
        tab(driver, "site")
        driver.find_element(By.ID, "rollout-indicator").click()
        wait(driver, lambda d: not d.find_element(By.ID, "panel-rollouts").get_attribute("hidden"),
             "the rollout indicator does not lead to the Rollouts tab")

        # A task whose bms-2 refuses its target list, then "Retry failed devices" on the Run tab.
        nodes = api(port, "GET", "/api/v1/devices/status")["data"]["communicationNodes"]
        targets = []
        for node_id in ("bms-1", "bms-2"):
            node = next(n for n in nodes if n["nodeId"] == node_id)
            version = next(c["version"] for c in node["components"] if c["typeId"] == "BMS_BAU")
            targets.append({"nodeId": node_id, "componentTypeId": "BMS_BAU", "componentIndex": 1,
                            "currentVersion": version, "fileSlotKey": "bms:bau", "force": False})
        preview = api(port, "POST", "/api/v1/upgrades/preview", {
            "upgradeId": "partly_failed", "targets": targets,
            "files": [{"fileSlotKey": "bms:bau", "filePath": str(files["bms:bau"][0]), "targetVersion": "2.0.0"}]})
        assert preview["success"], preview
        failed_no = preview["data"]["snapshot"]["upgradeNo"]
        assert api(port, "POST", "/api/v1/upgrades/start")["success"]
        tab(driver, "run")
        wait(driver, lambda d: d.find_element(By.ID, "task-status").text == "FAILED" and
             not d.find_element(By.ID, "retry-run").get_attribute("hidden"),
             "a failed task does not offer to retry its failed devices")
        driver.find_element(By.ID, "retry-run").click()
        confirm(driver)  # retry the failed device
        confirm(driver)  # start the previewed retry
        wait(driver, lambda d: [r["nodeId"] for r in run_rows(d)] == ["bms-2"] and
             d.find_element(By.ID, "task-status").text == "SUCCESS", "the retry of the failed device does not succeed")
        assert driver.find_element(By.ID, "retry-run").get_attribute("hidden") is not None

        # The history: the failed task offers its retry; the rollouts' tasks are there by name.
        tab(driver, "history")
        wait(driver, lambda d: len(d.find_elements(
            By.CSS_SELECTOR, f'#history-rows tr[data-upgrade-no="{failed_no}"] button.retry')) == 1,
             "the history does not offer the retry of the failed task")
        names = texts(driver, "#history-rows tr .name")
        assert "console_rollout_g1" in names and "console_rollout_g2" in names, names
        driver.save_screenshot(str(out / "console-rollout-history.png"))
        check_hold_banner(driver, port, work, out)
        check_baseline(driver, port, files, out)
        check_browser_log(driver)
        print("1 passed, 0 failed")
        return 0
    except Exception:
        site.report_failure(driver, out, "console-rollout-failure.png", (backend, simulator))
        raise
    finally:
        site.shut_down(driver, (backend, simulator), work)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--backend", required=True)
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--site", required=True, help="the example topology")
    parser.add_argument("--out", required=True, help="where the screenshots go")
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    arguments = parser.parse_args()
    for name in ("backend", "simulator", "site", "out"):
        setattr(arguments, name, os.path.abspath(getattr(arguments, name)))
    site.args = arguments  # the shared helpers read the options from there
    sys.exit(main(arguments))
