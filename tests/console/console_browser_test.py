#!/usr/bin/env python3
"""The operator console in headless Chromium against the real backend and the real simulator.

The example site on free ports with short timeouts: every device shows CONNECTED, three
components are inspected, previewed and upgraded to SUCCESS from the page, a second task is
aborted from the page, a third one started through the API shows in the header of a page left on
the Site tab, the history shows all three, and the page notices a backend restart and comes back
by itself. The running task follows the events of its changed devices and reads the whole task
again when one of them is lost. Every wait is a condition with a generous bound; nothing sleeps.
"""

import argparse
import hashlib
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

BOUND_S = 60


def free_ports(count):
    sockets, ports = [], []
    for _ in range(count):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        sockets.append(s)
        ports.append(s.getsockname()[1])
    for s in sockets:
        s.close()
    return ports


class Process:
    """A child process whose output is collected, so a line can be waited for."""

    def __init__(self, name, command, cwd):
        self.name = name
        self.lines = []
        self.cond = threading.Condition()
        self.proc = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL, text=True, encoding="utf-8", errors="replace")
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                del self.lines[:-2000]
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def wait_for_line(self, text, bound=BOUND_S):
        deadline = time.monotonic() + bound
        with self.cond:
            while not any(text in line for line in self.lines):
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self.proc.poll() is not None:
                    raise AssertionError(f"{self.name} never printed {text!r}; last lines:\n" + "\n".join(self.lines[-30:]))
                self.cond.wait(remaining)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=BOUND_S)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(timeout=5)
        return self.proc.returncode


def write_site(args, work):
    """The example site with its devices on free ports, a backend configuration with short
    timeouts, and a simulator scenario in which two devices prepare slowly enough to be aborted."""
    topology = json.loads(Path(args.site).read_text(encoding="utf-8"))
    devices = [node for node in topology["nodes"] if node.get("protocolAdapterId")]
    ports = free_ports(len(devices) + 1)
    for node, port in zip(devices, ports):
        node["port"] = port
    (work / "site.json").write_text(json.dumps(topology), encoding="utf-8")
    config = {
        "httpHost": "127.0.0.1", "httpPort": ports[-1], "topologyFile": "site.json", "deviceTcpEnabled": True,
        "deviceConcurrency": 8, "connectTimeoutMs": 3000, "reconnectIntervalMs": 200, "ackTimeoutMs": 10000,
        "stageTimeoutMs": 600000, "flashTimeoutMs": 30000, "restartTimeoutMs": 30000, "chunkSize": 10240,
    }
    (work / "ota-backend.json").write_text(json.dumps(config), encoding="utf-8")
    scenario = {"schemaVersion": 1, "rules": [
        {"settings": {"preparationMs": 600, "progressIntervalMs": 50}},
        {"nodeIds": ["pcs-2", "bms-2"], "settings": {"preparationMs": 300000}},
    ]}
    (work / "scenario.json").write_text(json.dumps(scenario), encoding="utf-8")
    return ports[-1]


def start_backend(args, work):
    backend = Process("ota-backend", [args.backend, "--config", str(work / "ota-backend.json")], work)
    backend.wait_for_line("[READY]")
    return backend


def make_driver(work):
    options = webdriver.ChromeOptions()
    options.binary_location = args.chromium
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1280,800", f"--user-data-dir={work / 'chromium-profile'}"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(executable_path=args.chromedriver), options=options)
    driver.set_page_load_timeout(BOUND_S)
    return driver


def wait(driver, condition, message):
    def safe(d):
        try:
            return condition(d)
        except (StaleElementReferenceException, WebDriverException):
            return False
    return WebDriverWait(driver, BOUND_S, poll_frequency=0.05).until(safe, message)


def texts(driver, selector):
    return [e.text for e in driver.find_elements(By.CSS_SELECTOR, selector)]


def device_states(driver):
    return texts(driver, "#tree .device > div:nth-child(2) .badge")


def tab(driver, name):
    driver.find_element(By.ID, f"tab-{name}").click()


def tick(driver, node_id, type_id):
    box = driver.find_element(
        By.CSS_SELECTOR, f'#tree .device[data-node-id="{node_id}"] li[data-type-id="{type_id}"] input[type="checkbox"]')
    if not box.is_selected():
        box.click()


def run_rows(driver):
    rows = []
    for tr in driver.find_elements(By.CSS_SELECTOR, "#run-rows tr"):
        rows.append({
            "nodeId": tr.get_attribute("data-node-id"),
            "progress": tr.find_element(By.CSS_SELECTOR, ".bar").get_attribute("aria-valuenow"),
            "result": tr.get_attribute("data-result"),
        })
    return rows


def api(port, method, path, body=None):
    """The backend's answer envelope to one request of the public API."""
    data = None if body is None else json.dumps(body).encode("utf-8")
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=data, method=method,
                                     headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=BOUND_S) as answer:
            return json.loads(answer.read())
    except urllib.error.HTTPError as refusal:
        return json.loads(refusal.read())


def indicator(driver):
    """What the header's task indicator shows, or None while it is hidden."""
    node = driver.find_element(By.ID, "task-indicator")
    if node.get_attribute("hidden") is not None:
        return None
    return {"task": driver.find_element(By.ID, "indicator-task").text,
            "status": driver.find_element(By.ID, "indicator-status").text,
            "devices": driver.find_element(By.ID, "indicator-devices").text,
            "progress": driver.find_element(By.ID, "indicator-progress").get_attribute("aria-valuenow")}


def confirm(driver):
    wait(driver, lambda d: d.find_element(By.ID, "confirm").get_attribute("open") is not None, "no confirmation asked")
    driver.find_element(By.ID, "confirm-yes").click()


def no_horizontal_scroll(driver):
    return driver.execute_script("return document.documentElement.scrollWidth <= window.innerWidth")


def check_browser_log(driver):
    problems = [entry for entry in driver.get_log("browser") if entry.get("level") == "SEVERE"]
    # A backend restart makes the stream and the requests in flight fail once; nothing else may.
    problems = [p for p in problems if "/api/v1/" not in p.get("message", "")]
    assert not problems, f"browser errors: {problems}"


def report_failure(driver, out, screenshot, processes):
    """A screenshot of the page and the last lines of every process, for a failed run."""
    if driver is not None:
        try:
            driver.save_screenshot(str(out / screenshot))
            print(f"screenshot of the failure: {out / screenshot}", file=sys.stderr)
        except WebDriverException:
            pass
    for process in processes:
        if process is not None:
            print(f"--- last lines of {process.name}:\n" + "\n".join(process.lines[-40:]), file=sys.stderr)


def shut_down(driver, processes, work):
    if driver is not None:
        driver.quit()
    for process in processes:
        if process is not None:
            process.stop()
    shutil.rmtree(work, ignore_errors=True)


def main():
    work = Path(tempfile.mkdtemp(prefix="ota-console-test-"))
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    port = write_site(args, work)
    simulator = Process("ota-device-sim", [args.simulator, "--topology", str(work / "site.json"), "--scenario",
                                          str(work / "scenario.json"), "--quiet", "--no-summary"], work)
    backend = None
    driver = None
    try:
        simulator.wait_for_line("[READY]")
        backend = start_backend(args, work)
        driver = make_driver(work)
        url = f"http://127.0.0.1:{port}/"
        driver.get(url)

        # Site: every device of the topology connected, with its components.
        wait(driver, lambda d: len(device_states(d)) == 5 and all(s == "CONNECTED" for s in device_states(d)),
             "not every device shows CONNECTED")
        wait(driver, lambda d: d.find_element(By.ID, "link-state").get_attribute("data-state") == "up",
             "the event stream never came up")
        assert driver.find_element(By.ID, "health-devices").text == "5 / 5"

        # Firmware: three generated files inspected.
        files = {}
        for slot, name in (("emu:emu", "emu.bin"), ("pcs:dsp1", "pcs-dsp1.bin"), ("bms:bau", "bms-bau.bin")):
            data = os.urandom(100_000 + len(files) * 7_000)
            (work / name).write_bytes(data)
            files[slot] = (work / name, hashlib.sha256(data).hexdigest(), len(data))
        tab(driver, "firmware")
        for position, (slot, (path, _, _)) in enumerate(files.items()):
            if position > 0:
                driver.find_element(By.ID, "add-file").click()
            row = driver.find_elements(By.CSS_SELECTOR, "#file-rows tr")[position]
            Select(row.find_element(By.TAG_NAME, "select")).select_by_value(slot)
            inputs = row.find_elements(By.CSS_SELECTOR, 'input[type="text"]')
            if position == 0:
                # The first file goes through the firmware store: uploaded from the page, then "Use".
                digest = files[slot][1]
                driver.find_element(By.ID, "store-file").send_keys(str(path))
                wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, f'#store-rows tr[data-sha256="{digest}"]'),
                     "the uploaded file is not in the store's list: " + driver.find_element(By.ID, "store-error").text)
                driver.find_element(By.CSS_SELECTOR, f'#store-rows tr[data-sha256="{digest}"] button').click()
                assert f"/sha256/{digest}/emu.bin" in inputs[0].get_attribute("value"), inputs[0].get_attribute("value")
            else:
                inputs[0].send_keys(str(path))
            inputs[1].send_keys("2.0.0")
        driver.find_element(By.ID, "inspect").click()
        expected_digests = [digest for _, digest, _ in files.values()]
        wait(driver, lambda d: [r.get_attribute("data-sha256") for r in d.find_elements(By.CSS_SELECTOR, "#file-rows tr")]
             == expected_digests, "the inspected digests are not the files' SHA-256")
        driver.save_screenshot(str(out / "console-firmware.png"))
        chunks = texts(driver, "#file-rows tr td:nth-child(5)")
        assert chunks == [f"{-(-size // 10240)} × 10240" for _, _, size in files.values()], chunks

        # Plan: three components ticked on the tree, a refusal shown with its code, then a preview.
        tab(driver, "site")
        tick(driver, "emu-1", "EMU")
        tick(driver, "pcs-1", "PCS_DSP1")
        tick(driver, "bms-1", "BMS_BAU")
        driver.save_screenshot(str(out / "console-site.png"))
        tab(driver, "plan")
        assert len(driver.find_elements(By.CSS_SELECTOR, "#plan-rows tr")) == 3
        upgrade_id = driver.find_element(By.ID, "upgrade-id")
        upgrade_id.clear()
        upgrade_id.send_keys("not valid!")
        driver.find_element(By.ID, "preview").click()
        wait(driver, lambda d: d.find_element(By.ID, "plan-error").text.startswith("UPGRADE_PREVIEW_REJECTED: "),
             "a refused preview does not show its code")
        upgrade_id.clear()
        upgrade_id.send_keys("console_1")
        driver.find_element(By.ID, "preview").click()
        wait(driver, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#snapshot-rows tr")) == 3, "no snapshot of three targets")
        snapshot = texts(driver, "#snapshot-rows tr td:nth-child(3)")
        assert snapshot == ["1.0.0 → 2.0.0"] * 3, snapshot
        driver.save_screenshot(str(out / "console-plan.png"))
        assert driver.find_element(By.ID, "plan-error").text == ""

        # Run: start, a screenshot of the running task, then every row at 100 % and SUCCESS. One
        # event of the task's devices is lost on the way (the page's hook drops it): the page sees
        # the gap in the sequence and reads the whole task again.
        start = driver.find_element(By.ID, "start")
        wait(driver, lambda d: start.is_enabled(), "start stays disabled after the preview")
        driver.execute_script("window.otaDropUpgradeDevices = true;")
        start.click()
        wait(driver, lambda d: not d.find_element(By.ID, "panel-run").get_attribute("hidden"), "the run panel is not shown")
        wait(driver, lambda d: len(run_rows(d)) == 3, "the task's devices are not shown")
        try:
            WebDriverWait(driver, BOUND_S, poll_frequency=0.05).until(
                lambda d: d.find_element(By.ID, "task-status").text != "RUNNING" or
                any(r["result"] == "RUNNING" and 30 <= int(r["progress"] or 0) < 90 for r in run_rows(d)))
        finally:
            driver.save_screenshot(str(out / "console-running-task.png"))
        wait(driver, lambda d: d.find_element(By.ID, "task-status").text == "SUCCESS",
             "the first task does not end in SUCCESS")
        rows = run_rows(driver)
        assert all(r["progress"] == "100" and r["result"] == "SUCCESS" for r in rows), rows
        assert all(t == "SUCCESS" for t in texts(driver, "#run-rows tr td:last-child .badge"))
        feed = driver.execute_script("return window.otaUpgradeFeedStats();")
        assert feed["dropped"] == 1 and feed["gapReads"] == 1 and feed["applied"] >= 1, feed
        assert no_horizontal_scroll(driver), "the page scrolls sideways at 1280 x 800"

        # A second task on the two slowly preparing devices, aborted from the page.
        tab(driver, "site")
        driver.find_element(By.ID, "untick-all").click()
        wait(driver, lambda d: all(s == "CONNECTED" for s in device_states(d)), "devices did not come back")
        tick(driver, "pcs-2", "PCS_DSP1")
        tick(driver, "bms-2", "BMS_BAU")
        tab(driver, "plan")
        upgrade_id = driver.find_element(By.ID, "upgrade-id")
        upgrade_id.clear()
        upgrade_id.send_keys("console_2")
        driver.find_element(By.ID, "preview").click()
        wait(driver, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#snapshot-rows tr")) == 2 and start.is_enabled(),
             "no snapshot of the second task")
        start.click()
        wait(driver, lambda d: len(run_rows(d)) == 2, "the second task's devices are not shown")
        # A page reloaded in the middle of a task shows it again, read from the current upgrade.
        driver.refresh()
        wait(driver, lambda d: not d.find_element(By.ID, "panel-run").get_attribute("hidden") and
             len(run_rows(d)) == 2 and d.find_element(By.ID, "task-status").text == "RUNNING",
             "a reloaded page does not show the running task")
        # The header shows the task there too.
        wait(driver, lambda d: (indicator(d) or {}).get("task", "").startswith("console_2 #") and
             indicator(d)["status"] == "RUNNING" and indicator(d)["devices"] == "0 / 2 devices done",
             "a reloaded page does not show the running task in its header")
        abort = driver.find_element(By.ID, "abort")
        wait(driver, lambda d: abort.is_enabled(), "the second task cannot be aborted")
        abort.click()
        confirm(driver)
        wait(driver, lambda d: d.find_element(By.ID, "task-status").text == "ABORTED",
             "the second task does not end ABORTED")
        assert all(r["result"] == "ABORTED" for r in run_rows(driver)), run_rows(driver)
        wait(driver, lambda d: (indicator(d) or {}).get("status") == "ABORTED", "the header does not show ABORTED")

        # A task started elsewhere (here through the API) shows in the header of a page left on the
        # Site tab: its identifier at once, then its result; the indicator leads to the Run tab.
        tab(driver, "site")
        wait(driver, lambda d: all(s == "CONNECTED" for s in device_states(d)), "devices did not come back")
        nodes = api(port, "GET", "/api/v1/devices/status")["data"]["communicationNodes"]
        emu = next(n for n in nodes if n["nodeId"] == "emu-1")
        version = next(c["version"] for c in emu["components"] if c["typeId"] == "EMU")
        preview = api(port, "POST", "/api/v1/upgrades/preview", {
            "upgradeId": "api_task",
            "targets": [{"nodeId": "emu-1", "componentTypeId": "EMU", "componentIndex": 1, "currentVersion": version,
                         "fileSlotKey": "emu:emu", "force": False}],
            "files": [{"fileSlotKey": "emu:emu", "filePath": str(files["emu:emu"][0]), "targetVersion": "3.0.0"}]})
        assert preview["success"], preview
        api_upgrade_no = preview["data"]["snapshot"]["upgradeNo"]
        started = api(port, "POST", "/api/v1/upgrades/start")
        assert started["success"], started
        wait(driver, lambda d: (indicator(d) or {}).get("task") == f"api_task #{api_upgrade_no}",
             "a task started through the API does not show in the header")
        assert not driver.find_element(By.ID, "panel-site").get_attribute("hidden"), "the page left the Site tab"
        wait(driver, lambda d: indicator(d)["status"] == "SUCCESS" and indicator(d)["devices"] == "1 / 1 devices done"
             and indicator(d)["progress"] == "100", "the header does not show the API task's result")
        driver.find_element(By.ID, "task-indicator").click()
        wait(driver, lambda d: not d.find_element(By.ID, "panel-run").get_attribute("hidden") and
             [r["nodeId"] for r in run_rows(d)] == ["emu-1"] and d.find_element(By.ID, "task-status").text == "SUCCESS",
             "the indicator does not lead to the API task in the Run tab")

        # History: both tasks, newest first; the first one's final report opens.
        tab(driver, "history")
        wait(driver, lambda d: [(tr.get_attribute("data-status"), tr.find_element(By.CSS_SELECTOR, ".name").text)
                                for tr in d.find_elements(By.CSS_SELECTOR, "#history-rows tr")]
             == [("SUCCESS", "api_task"), ("ABORTED", "console_2"), ("SUCCESS", "console_1")],
             "the history does not show the three tasks")
        driver.find_elements(By.CSS_SELECTOR, "#history-rows tr button.open")[2].click()
        wait(driver, lambda d: texts(d, "#report-rows tr td:last-child .badge") == ["SUCCESS"] * 3,
             "the final report of the first task does not open")
        driver.save_screenshot(str(out / "console-history.png"))

        driver.find_element(By.ID, "history-clear").click()
        confirm(driver)
        wait(driver, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#history-rows tr")) == 0 and
             d.find_element(By.ID, "report").get_attribute("hidden") is not None, "the history is not cleared")

        # Frames: capture on shows frames of the chosen device, off empties the trace.
        tab(driver, "frames")
        driver.find_element(By.ID, "capture").click()
        Select(driver.find_element(By.ID, "trace-device")).select_by_value("emu-1")
        tab(driver, "site")
        driver.find_element(By.ID, "status-query").click()
        wait(driver, lambda d: "submitted 5" in d.find_element(By.ID, "site-summary").text, "no status query summary")
        tab(driver, "frames")
        wait(driver, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#trace-rows tr")) > 0 and
             all(t == "EMU 1" for t in texts(d, "#trace-rows tr td:nth-child(3)")), "no frame of the chosen device")
        driver.find_element(By.ID, "capture").click()
        wait(driver, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#trace-rows tr")) == 0, "the trace stays after capture off")

        # The page says when the backend is gone and comes back with it.
        assert backend.stop() == 0
        wait(driver, lambda d: d.find_element(By.ID, "link-state").get_attribute("data-state") == "down",
             "the page does not say it is disconnected")
        backend = start_backend(args, work)
        wait(driver, lambda d: d.find_element(By.ID, "link-state").get_attribute("data-state") == "up",
             "the page does not reconnect by itself")
        tab(driver, "site")
        wait(driver, lambda d: len(device_states(d)) == 5 and all(s == "CONNECTED" for s in device_states(d)),
             "devices are not shown CONNECTED after the restart")

        driver.set_window_size(1920, 1080)
        assert no_horizontal_scroll(driver), "the page scrolls sideways at 1920 x 1080"
        check_browser_log(driver)
        if args.docs_screenshot:
            shutil.copyfile(out / "console-running-task.png", args.docs_screenshot)
        print("1 passed, 0 failed")
        return 0
    except Exception:
        report_failure(driver, out, "console-failure.png", (backend, simulator))
        raise
    finally:
        shut_down(driver, (backend, simulator), work)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--backend", required=True)
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--site", required=True, help="the example topology")
    parser.add_argument("--out", required=True, help="where the screenshots go")
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    parser.add_argument("--docs-screenshot", help="also copy the running-task screenshot here")
    args = parser.parse_args()
    for name in ("backend", "simulator", "site", "out"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    sys.exit(main())
