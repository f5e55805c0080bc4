#!/usr/bin/env python3
"""The operator console with access control on, in headless Chromium against the real backend and
simulator: the page asks for the token once (a wrong one is refused), then works through its
session cookie (the site, the event stream, an operation), shows the operation and the logins in
its Audit tab, and after logging out is refused again. Every wait is a condition with a bound.
"""

import argparse
import json
import os
import shutil
import sys
import tempfile
import urllib.error
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import console_browser_test as base  # noqa: E402  (the shared helpers of the console tests)
from selenium.common.exceptions import WebDriverException  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

TOKEN = "console-access-" + "0123456789abcdef" * 3


def status_of(port, path, token=None):
    headers = {"Authorization": f"Bearer {token}"} if token else {}
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", headers=headers)
    try:
        with urllib.request.urlopen(request, timeout=base.BOUND_S) as answer:
            return answer.status
    except urllib.error.HTTPError as refusal:
        return refusal.code


def dialog_open(driver):
    return driver.find_element(By.ID, "login").get_attribute("open") is not None


def log_in(driver, token):
    field = driver.find_element(By.ID, "login-token")
    field.clear()
    field.send_keys(token)
    driver.find_element(By.ID, "login-submit").click()


def audit_rows(driver):
    return [(tr.find_element(By.CSS_SELECTOR, ".name").text, tr.get_attribute("data-status"))
            for tr in driver.find_elements(By.CSS_SELECTOR, "#audit-rows tr")]


def main():
    work = Path(tempfile.mkdtemp(prefix="ota-console-access-"))
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    port = base.write_site(args, work)
    config = json.loads((work / "ota-backend.json").read_text(encoding="utf-8"))
    config["apiAccess"] = {"tokenFile": "api-token"}
    (work / "ota-backend.json").write_text(json.dumps(config), encoding="utf-8")
    (work / "api-token").write_text(TOKEN + "\n", encoding="utf-8")
    os.chmod(work / "api-token", 0o600)
    simulator = base.Process("ota-device-sim", [args.simulator, "--topology", str(work / "site.json"), "--quiet",
                                                "--no-summary"], work)
    backend = None
    driver = None
    try:
        simulator.wait_for_line("[READY]")
        backend = base.start_backend(args, work)
        driver = base.make_driver(work)
        driver.get(f"http://127.0.0.1:{port}/")

        # The page's files came without a token; its first reads were refused, so it asks.
        base.wait(driver, dialog_open, "the page does not ask for the token")
        log_in(driver, "x" + TOKEN)
        base.wait(driver, lambda d: d.find_element(By.ID, "login-error").text ==
                  "UNAUTHORIZED: Access token is not valid", "a wrong token is not refused on the page")
        assert dialog_open(driver)
        log_in(driver, TOKEN)
        base.wait(driver, lambda d: not dialog_open(d), "the right token does not open a session")

        # Everything works through the session cookie: the site, the event stream, an operation.
        base.wait(driver, lambda d: len(base.device_states(d)) == 5 and
                  all(s == "CONNECTED" for s in base.device_states(d)), "the site does not load after the login")
        base.wait(driver, lambda d: d.find_element(By.ID, "link-state").get_attribute("data-state") == "up",
                  "the event stream does not come up after the login")
        assert driver.find_element(By.ID, "logout").get_attribute("hidden") is None, "no way to log out"
        driver.find_element(By.ID, "status-query").click()
        base.wait(driver, lambda d: "submitted 5" in d.find_element(By.ID, "site-summary").text,
                  "the status query does not run through the session")
        assert driver.execute_script("return document.cookie") == "", "the session cookie is HttpOnly"

        # The Audit tab: the operation and both logins, newest first.
        base.tab(driver, "audit")
        base.wait(driver, lambda d: audit_rows(d)[:3] == [("POST /api/v1/devices/status-query", "202"),
                                                          ("POST /api/v1/session", "200"),
                                                          ("POST /api/v1/session", "401")],
                  "the audit tab does not show the operation and the logins")
        driver.save_screenshot(str(out / "console-audit.png"))

        # Logged out, the page asks again and the API refuses what the cookie opened.
        driver.find_element(By.ID, "logout").click()
        base.wait(driver, dialog_open, "the page does not ask again after logging out")
        assert status_of(port, "/api/v1/workspace") == 401
        assert status_of(port, "/api/v1/workspace", TOKEN) == 200
        assert status_of(port, "/api/v1/health") == 200
        base.check_browser_log(driver)
        print("1 passed, 0 failed")
        return 0
    except Exception:
        if driver is not None:
            try:
                driver.save_screenshot(str(out / "console-access-failure.png"))
                print(f"screenshot of the failure: {out / 'console-access-failure.png'}", file=sys.stderr)
            except WebDriverException:
                pass
        for process in (backend, simulator):
            if process is not None:
                print(f"--- last lines of {process.name}:\n" + "\n".join(process.lines[-40:]), file=sys.stderr)
        raise
    finally:
        if driver is not None:
            driver.quit()
        for process in (backend, simulator):
            if process is not None:
                process.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--backend", required=True)
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--site", required=True, help="the example topology")
    parser.add_argument("--out", required=True, help="where the screenshots go")
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    args = parser.parse_args()
    for name in ("backend", "simulator", "site", "out"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    base.args = args
    sys.exit(main())
