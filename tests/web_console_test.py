#!/usr/bin/python3
"""The web console in headless Chromium against a real TarvoServer with 100,000 users: log in
with a token, find a user by search and lock them (their session ends), add a user, see a live
login appear without reloading, and a user named as markup shown as text. Screenshots of each
view go to the folder given as the second argument.

usage: web_console_test.py BUILD_BIN_DIR SCREENSHOT_DIR"""
import json
import os
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

try:
    from selenium import webdriver
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as ready
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("python3-selenium is not installed (scripts/setup.sh installs it)")
    sys.exit(77)

USERS = 100_000
HOSTILE = "<img src=x onerror=alert(1)>"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# Bounds for events on a machine that may be running the whole suite beside this test (a daemon
# under ASan there took over 20 s to start); what is waited for usually comes at once.
def wait_for(what, condition, seconds=60):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


class Daemon:
    def __init__(self, bin_dir, home):
        self.bin_dir, self.home = bin_dir, home
        # Chromium takes no Ed25519 certificate, the daemon's own key: a P-256 one is given.
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", home + "/api.key", "-out", home + "/api.crt"],
                       check=True, capture_output=True)
        self.env = dict(os.environ, TARVO_HOME=home, TARVO_RUNTIME_DIR=home)
        # A port found free may be taken by another test before the daemon binds it: that
        # start ends at once with a binding error, and new ports are tried.
        for _ in range(3):
            self.start()
            if self.process.poll() is None:
                break
            if "binding error" not in open(home + "/err").read():
                break
        if self.process.poll() is not None:
            raise AssertionError("TarvoServer ended at start: " + open(home + "/err").read())
        self.clients = []

    def start(self):
        home = self.home
        self.port, self.api = free_port(), free_port()
        with open(home + "/tarvoserver.ini", "w") as f:
            f.write(f"[ServerPort]:{self.port}\n[ApiAddress]:127.0.0.1:{self.api}\n"
                    f"[ApiCertificate]:{home}/api.crt\n[ApiKey]:{home}/api.key\n")
        self.process = subprocess.Popen([self.bin_dir + "/TarvoServer"], env=self.env,
                                        stdout=subprocess.DEVNULL, stderr=open(home + "/err", "w"))
        wait_for("the API socket", lambda: os.path.exists(home + "/tarvo-api.sock")
                 or self.process.poll() is not None)

    def adm(self, *args):
        run = subprocess.run([self.bin_dir + "/tarvoadm", *args], env=self.env, check=True,
                             capture_output=True, text=True)
        return run.stdout.strip()

    def fill_store(self):
        # One transaction straight into the store's table: 100,000 rows in a second.
        self.adm("user", "add", "seed", "--password", "pw")
        db = sqlite3.connect(self.home + "/VPNdb.sqlite3", timeout=30)
        rows = [(f"user{i:06d}", f"user{i:06d}", "pw") for i in range(USERS)]
        rows.append((HOSTILE.lower(), HOSTILE, "pw"))
        db.executemany("INSERT INTO UsersTable (name_key, user_name, user_password, pwd_sealed, "
                       "user_limit, user_counter, user_locked) VALUES (?, ?, ?, 0, 0, 0, 0)", rows)
        db.commit()
        db.close()

    def login(self, name):
        client = subprocess.Popen(
            [self.bin_dir + "/tarvoclient", "--server", f"127.0.0.1:{self.port}", "--user", name,
             "--listen", f"127.0.0.1:{free_port()}", "--protocol", "v1"],
            env=dict(self.env, TARVO_PASSWORD="pw"), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        self.clients.append(client)
        return client

    def sessions(self):
        out = subprocess.run(["curl", "-s", "--unix-socket", self.home + "/tarvo-api.sock",
                              "http://local/api/v1/sessions"], capture_output=True, text=True)
        return [s["name"] for s in json.loads(out.stdout)["sessions"]]

    def stop(self):
        for client in self.clients:
            client.kill()
            client.wait()
        self.process.terminate()
        self.process.wait(timeout=20)


def main():
    bin_dir, shots = sys.argv[1], sys.argv[2]
    os.makedirs(shots, exist_ok=True)
    with tempfile.TemporaryDirectory() as home:
        daemon = Daemon(bin_dir, home)
        try:
            run(daemon, shots)
        finally:
            daemon.stop()
    print("1 passed, 0 failed")


def run(daemon, shots):
    daemon.fill_store()
    token = daemon.adm("token", "create", "browser", "--role", "admin")
    options = webdriver.ChromeOptions()
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--ignore-certificate-errors",
                 "--window-size=1280,900"):
        options.add_argument(flag)
    browser = webdriver.Chrome(options=options)
    wait = WebDriverWait(browser, 30)
    try:
        browser.get(f"https://127.0.0.1:{daemon.api}/console/")
        browser.find_element(By.ID, "token").send_keys(token)
        browser.find_element(By.CSS_SELECTOR, "#login-form button").click()
        wait.until(ready.text_to_be_present_in_element((By.ID, "user-count"), f"of {USERS + 2}"))
        browser.save_screenshot(shots + "/users.png")

        # Find one user among 100,000 and lock them while logged in: the session ends.
        target = "user054321"
        daemon.login(target)
        wait_for("the login", lambda: target in daemon.sessions())
        search(browser, wait, target)
        browser.find_element(
            By.XPATH, f"//tbody[@id='user-rows']/tr[@data-name='{target}']//button[text()='Lock']"
        ).click()
        wait.until(lambda b: "locked" in rows_text(b))
        wait_for("the locked user's session to end", lambda: target not in daemon.sessions())

        # Add a user through the form.
        browser.find_element(By.ID, "add-name").send_keys("webadded")
        browser.find_element(By.ID, "add-password").send_keys("pw")
        browser.find_element(By.CSS_SELECTOR, "#add-form button").click()
        wait.until(ready.text_to_be_present_in_element((By.ID, "status"), "Added webadded"))
        search(browser, wait, "webadded")

        # A name made of markup is text on the page and runs nothing.
        search(browser, wait, "<img")
        first_cell = browser.execute_script(
            "return document.querySelector('#user-rows td').textContent")
        assert first_cell == HOSTILE, first_cell
        assert not browser.find_elements(By.CSS_SELECTOR, "#user-rows img")
        try:
            browser.switch_to.alert
            raise AssertionError("the name's markup ran")
        except NoAlertPresentException:
            pass

        # A login appears live in Connected users, without a reload.
        browser.find_element(By.CSS_SELECTOR, "button[data-view='sessions']").click()
        daemon.login("user000007")
        wait.until(lambda b: "user000007" in rows_text(b, "session-rows"))
        wait.until(lambda b: "session_opened user000007" in rows_text(b, "events"))
        browser.save_screenshot(shots + "/sessions.png")
        for view in ("settings", "usage", "messages"):
            browser.find_element(By.CSS_SELECTOR, f"button[data-view='{view}']").click()
            time.sleep(0.5)  # only for the picture: the view's answer is drawn
            browser.save_screenshot(f"{shots}/{view}.png")
    finally:
        browser.quit()


def search(browser, wait, text):
    box = browser.find_element(By.ID, "search")
    box.clear()
    box.send_keys(text)
    browser.find_element(By.CSS_SELECTOR, "#search-form button[type='submit']").click()
    wait.until(lambda b: text.lower() in rows_text(b).lower())


def rows_text(browser, body="user-rows"):
    # Read in one step: the rows are drawn anew whenever an event touches them.
    return browser.execute_script(
        "return document.getElementById(arguments[0]).textContent", body)


if __name__ == "__main__":
    main()
