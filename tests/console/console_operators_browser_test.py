#!/usr/bin/env python3
"""Named operators in the console, in headless Chromium against the real backend and simulator.

Three accounts made with the executable's users commands and rollouts that need approval: a viewer
logs in by name and password, sees who is logged in, and finds every control that changes the site
locked with the reason; an operator creates a rollout, which awaits approval and cannot start; a
second browser logged in as an approver approves it from the Approvals view; the first browser then
starts it to SUCCESS, and the rollout and the Audit view name the people. Every wait is a condition
with a generous bound; nothing sleeps.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

sys.dont_write_bytecode = True  # the shared helpers are imported from the source tree; write nothing there
sys.path.insert(0, str(Path(__file__).resolve().parent))
import console_browser_test as base  # noqa: E402
from console_browser_test import Process, confirm, device_states, make_driver, tab, tick, wait  # noqa: E402

TOKEN = "console-operators-" + "0123456789abcdef" * 3
ACCOUNTS = {"vera": ("viewer", "vera-password-1"), "olga": ("operator", "olga-password-1"),
            "abe": ("approver", "abe-password-12")}


def add_account(args, work, name, role, password):
    done = subprocess.run([args.backend, "--config", str(work / "ota-backend.json"), "users", "add", name,
                           "--role", role], input=password + "\n", text=True, capture_output=True, cwd=work,
                          timeout=base.BOUND_S)
    assert done.returncode == 0, f"users add {name}: {done.stderr}"


def dialog_open(driver):
    return driver.find_element(By.ID, "login").get_attribute("open") is not None


def log_in(driver, name):
    wait(driver, dialog_open, "the page does not ask for a login")
    for field, text in (("login-user", name), ("login-password", ACCOUNTS[name][1])):
        driver.find_element(By.ID, field).clear()
        driver.find_element(By.ID, field).send_keys(text)
    driver.find_element(By.ID, "login-submit").click()
    wait(driver, lambda d: not dialog_open(d) and d.find_element(By.ID, "who-user").text == name and
         d.find_element(By.ID, "who-role").text == ACCOUNTS[name][0], f"{name} is not shown as logged in")


def locked(driver, element_id):
    node = driver.find_element(By.ID, element_id)
    return node.get_attribute("disabled") is not None and node.get_attribute("title")


def rollout_status(driver):
    return driver.find_element(By.ID, "rollout-status").text


def main(args):
    work = Path(tempfile.mkdtemp(prefix="ota-console-operators-"))
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    port = base.write_site(args, work)
    config = json.loads((work / "ota-backend.json").read_text(encoding="utf-8"))
    config["apiAccess"] = {"tokenFile": "api-token"}
    config["approvals"] = {"rollouts": True}
    (work / "ota-backend.json").write_text(json.dumps(config), encoding="utf-8")
    (work / "api-token").write_text(TOKEN + "\n", encoding="utf-8")
    os.chmod(work / "api-token", 0o600)
    for name, (role, password) in ACCOUNTS.items():
        add_account(args, work, name, role, password)
    scenario = {"schemaVersion": 1, "rules": [{"settings": {"preparationMs": 100, "flashMs": 100, "rebootMs": 200,
                                                            "progressIntervalMs": 50}}]}
    (work / "scenario.json").write_text(json.dumps(scenario), encoding="utf-8")
    simulator = Process("ota-device-sim", [args.simulator, "--topology", str(work / "site.json"), "--scenario",
                                          str(work / "scenario.json"), "--quiet", "--no-summary"], work)
    backend = None
    first = None
    second = None
    try:
        simulator.wait_for_line("[READY]")
        backend = base.start_backend(args, work)
        first = make_driver(work)
        first.get(f"http://127.0.0.1:{port}/")

        # A viewer reads the site but every control that changes it is locked, and says why.
        log_in(first, "vera")
        wait(first, lambda d: len(device_states(d)) == 5 and d.find_element(By.ID, "site-error").text == "",
             "the site does not load for a viewer, or still shows the refusal from before the login")
        wait(first, lambda d: locked(d, "start") == "The role viewer may not start an upgrade",
             "a viewer's start is not locked with the reason")
        for control in ("preview", "status-query", "rollout-create", "history-clear", "baseline-set"):
            assert locked(first, control), f"{control} is open to a viewer"
        first.save_screenshot(str(out / "console-viewer.png"))
        first.find_element(By.ID, "logout").click()

        # An operator creates a rollout; it awaits approval and cannot start.
        log_in(first, "olga")
        wait(first, lambda d: len(device_states(d)) == 5 and not locked(d, "rollout-create"),
             "an operator's controls stay locked")
        assert locked(first, "history-clear") == "The role operator may not clear the history"
        data = os.urandom(20_000)
        (work / "emu.bin").write_bytes(data)
        tab(first, "firmware")
        row = first.find_elements(By.CSS_SELECTOR, "#file-rows tr")[0]
        Select(row.find_element(By.TAG_NAME, "select")).select_by_value("emu:emu")
        inputs = row.find_elements(By.CSS_SELECTOR, 'input[type="text"]')
        inputs[0].send_keys(str(work / "emu.bin"))
        inputs[1].send_keys("2.0.0")
        tab(first, "site")
        # The login reads the site again (the tree may be drawn anew meanwhile): tick until it holds.
        emu_box = '#tree .device[data-node-id="emu-1"] li[data-type-id="EMU"] input[type="checkbox"]'
        wait(first, lambda d: tick(d, "emu-1", "EMU") or d.find_element(By.CSS_SELECTOR, emu_box).is_selected(),
             "emu-1's EMU cannot be ticked")
        tab(first, "rollouts")
        wait(first, lambda d: [tr.find_elements(By.TAG_NAME, "td")[1].text
                               for tr in d.find_elements(By.CSS_SELECTOR, "#rollout-plan-groups tr")] == ["1"],
             "the rollout's plan does not show the ticked component")
        first.find_element(By.ID, "rollout-create").click()
        wait(first, lambda d: rollout_status(d) == "AWAITING_APPROVAL",
             "the created rollout does not await approval: " + first.find_element(By.ID, "rollout-error").text)
        assert first.find_element(By.ID, "rollout-start").get_attribute("disabled") is not None
        assert "created by olga" in first.find_element(By.ID, "rollout-people").text

        # A second person approves it in another browser.
        (work / "second").mkdir()
        second = make_driver(work / "second")
        second.get(f"http://127.0.0.1:{port}/")
        log_in(second, "abe")
        tab(second, "approvals")
        wait(second, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#approvals-rows tr[data-rollout-no]")) == 1,
             "the rollout is not listed for approval")
        row = second.find_element(By.CSS_SELECTOR, "#approvals-rows tr[data-rollout-no]")
        assert row.find_element(By.CSS_SELECTOR, "td.who").text == "olga"
        assert len(row.find_element(By.CSS_SELECTOR, "td.mono").text) == 64, "the plan digest is not shown"
        row.find_element(By.CSS_SELECTOR, "button.approve").click()
        confirm(second)
        wait(second, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#approvals-rows tr")) == 0,
             "the approved rollout stays listed: " + second.find_element(By.ID, "approvals-error").text)
        second.save_screenshot(str(out / "console-approvals.png"))

        # The operator starts the approved rollout.
        wait(first, lambda d: rollout_status(d) == "READY" and
             d.find_element(By.ID, "rollout-start").get_attribute("disabled") is None,
             "the approved rollout does not turn READY in the first browser")
        first.find_element(By.ID, "rollout-start").click()
        confirm(first)
        wait(first, lambda d: rollout_status(d) == "SUCCESS", "the approved rollout does not end SUCCESS")
        people = first.find_element(By.ID, "rollout-people").text
        assert "approved by abe" in people and "started by olga" in people, people

        # The trail names the people, the person first.
        tab(first, "audit")
        wait(first, lambda d: [tr.find_element(By.CSS_SELECTOR, "td.who").text
                               for tr in d.find_elements(By.CSS_SELECTOR, "#audit-rows tr")][:2] == ["olga", "abe"],
             "the audit view does not name who started and who approved")
        base.check_browser_log(first)
        base.check_browser_log(second)
        print("1 passed, 0 failed")
        return 0
    except Exception:
        base.report_failure(first, out, "console-operators-failure.png", (backend, simulator))
        raise
    finally:
        if second is not None:
            second.quit()
        base.shut_down(first, (backend, simulator), work)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--backend", required=True)
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--site", required=True, help="the example topology")
    parser.add_argument("--out", required=True, help="where the screenshots go")
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    parsed = parser.parse_args()
    for name in ("backend", "simulator", "site", "out"):
        setattr(parsed, name, os.path.abspath(getattr(parsed, name)))
    base.args = parsed
    sys.exit(main(parsed))
