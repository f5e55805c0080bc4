#!/usr/bin/env python3
"""The operator console on a 1,000-device site during a 32-device task, in headless Chromium.

The simulator generates the site (334 EMUs, 333 PCSs, 333 BMSs), the backend serves it, the page
shows every device; then a task upgrades the EMU of 32 devices through the API while the page
keeps drawing. The page itself measures, with performance.now(), each device.status event from
its arrival until it is applied and laid out; the JS heap is read through the DevTools protocol
during the run. Prints one line per figure.

  console_bench --backend B --simulator S [--devices 1000] [--task-devices 32]
"""

import argparse
import json
import os
import signal
import socket
import statistics
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

BOUND_S = 120


def free_port_run(count):
    """The first of count consecutive free ports (ports are tried, then released)."""
    for base in range(21000, 60000, count + 1):
        sockets = []
        try:
            for port in range(base, base + count):
                s = socket.socket()
                s.bind(("127.0.0.1", port))
                sockets.append(s)
            return base
        except OSError:
            continue
        finally:
            for s in sockets:
                s.close()
    raise RuntimeError("no free port run")


class Child:
    def __init__(self, command, cwd):
        self.lines = []
        self.cond = threading.Condition()
        self.proc = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL, text=True, errors="replace")
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line)
                del self.lines[:-200]
                self.cond.notify_all()

    def wait_for(self, text):
        deadline = time.monotonic() + BOUND_S
        with self.cond:
            while not any(text in line for line in self.lines):
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    raise RuntimeError(f"never printed {text!r}: {''.join(self.lines[-20:])}")
                self.cond.wait(1)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.proc.kill()


def post(port, path, body=None):
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=data, method="POST")
    request.add_header("Content-Type", "application/json")
    try:
        with urllib.request.urlopen(request, timeout=BOUND_S) as answer:
            return json.loads(answer.read())
    except urllib.error.HTTPError as refusal:
        return json.loads(refusal.read())


def get(port, path):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=BOUND_S) as answer:
        return json.loads(answer.read())


def heap_mb(driver):
    metrics = driver.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]
    values = {m["name"]: m["value"] for m in metrics}
    return values["JSHeapUsedSize"] / 1e6


def main():
    work = Path(tempfile.mkdtemp(prefix="ota-console-bench-"))
    emus = args.devices - 2 * (args.devices // 3)
    base_port = free_port_run(args.devices + 1)
    http_port = base_port + args.devices
    sim = Child([args.simulator, "--generate-site", str(work), "--emu", str(emus), "--pcs", str(args.devices // 3),
                 "--bms", str(args.devices // 3), "--base-port", str(base_port), "--http-port", str(http_port),
                 "--quiet", "--no-summary"], work)
    backend = driver = None
    try:
        sim.wait_for("[READY]")
        config = json.loads((work / "ota-backend.json").read_text())
        config.update(reconnectIntervalMs=200, deviceConcurrency=32)
        (work / "ota-backend.json").write_text(json.dumps(config))
        backend = Child([args.backend, "--config", str(work / "ota-backend.json")], work)
        backend.wait_for("[READY]")

        options = webdriver.ChromeOptions()
        options.binary_location = args.chromium
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--window-size=1920,1080", f"--user-data-dir={work / 'profile'}"):
            options.add_argument(flag)
        driver = webdriver.Chrome(service=Service(executable_path=args.chromedriver), options=options)
        driver.execute_cdp_cmd("Performance.enable", {})
        loaded = time.monotonic()
        driver.get(f"http://127.0.0.1:{http_port}/")
        count_connected = ("return [...document.querySelectorAll('#tree .device > div:nth-child(2) .badge')]"
                           ".filter(b => b.textContent === 'CONNECTED').length")
        WebDriverWait(driver, BOUND_S, 0.2).until(lambda d: d.execute_script(count_connected) == args.devices)
        print(f"page shows {args.devices} devices CONNECTED after {time.monotonic() - loaded:.2f} s; "
              f"JS heap {heap_mb(driver):.1f} MB")

        firmware = work / "emu-2.0.0.bin"
        firmware.write_bytes(os.urandom(256 * 1024))
        status = get(http_port, "/api/v1/devices/status")["data"]["communicationNodes"]
        emus_reported = [n for n in status if n["protocolNodeType"] == "EMU"][: args.task_devices]
        targets = [{"nodeId": n["nodeId"], "componentTypeId": "EMU", "componentIndex": 1,
                    "currentVersion": n["components"][0]["version"], "fileSlotKey": "emu:emu", "force": False}
                   for n in emus_reported]
        preview = post(http_port, "/api/v1/upgrades/preview", {
            "upgradeId": f"bench_{int(time.time())}",
            "files": [{"fileSlotKey": "emu:emu", "filePath": str(firmware), "targetVersion": "2.0.0"}],
            "targets": targets})
        assert preview["success"], preview
        before = driver.execute_script("return window.otaConsoleStats().deviceStatusMs.length")
        heaps = [heap_mb(driver)]
        started = post(http_port, "/api/v1/upgrades/start", {})
        assert started["success"], started
        begin = time.monotonic()
        while time.monotonic() - begin < BOUND_S:
            heaps.append(heap_mb(driver))
            if driver.execute_script("return document.getElementById('task-status').textContent") in ("SUCCESS", "FAILED", "ABORTED", "STOPPED"):
                break
            time.sleep(0.5)  # a sampling period, not a synchronisation
        final = driver.execute_script("return document.getElementById('task-status').textContent")
        stats = driver.execute_script("return window.otaConsoleStats()")
        print(f"{args.task_devices}-device task on a {args.devices}-device site: {final} after "
              f"{time.monotonic() - begin:.1f} s")
        total = len(stats["deviceStatusMs"])
        first = min(before, total) if total < 256 else 0
        for name, label in (("deviceStatusMs", "applied and drawn"), ("parseMs", "of which parsing"),
                            ("waitMs", "waiting for the frame"), ("drawMs", "applying and layout")):
            during = sorted(stats[name][first:])
            if not during:
                print("device.status: no event during the task")
                break
            p95 = during[min(len(during) - 1, int(len(during) * 0.95))]
            print(f"device.status {label}: {len(during)} events, median {statistics.median(during):.1f} ms, "
                  f"p95 {p95:.1f} ms, max {during[-1]:.1f} ms")
        print(f"JS heap during the task: start {heaps[0]:.1f} MB, peak {max(heaps):.1f} MB, end {heaps[-1]:.1f} MB")
        return 0
    finally:
        if driver is not None:
            driver.quit()
        for child in (backend, sim):
            if child is not None:
                child.stop()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--backend", required=True)
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--devices", type=int, default=1000)
    parser.add_argument("--task-devices", type=int, default=32)
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    args = parser.parse_args()
    raise SystemExit(main())
