"""A small DevTools-protocol client for headless Chromium over --remote-debugging-pipe.

The pipe needs no port and no WebSocket library: Chromium reads commands on file
descriptor 3 and writes replies and events on 4, each message a JSON text ended by NUL.
"""
from __future__ import annotations

import base64
import json
import os
import subprocess
import time

# No request may leave the machine: every host name fails to resolve and every proxy is closed.
OFFLINE = ["--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--no-first-run",
           "--host-resolver-rules=MAP * ~NOTFOUND", "--proxy-server=127.0.0.1:9",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"]


class Browser:
    def __init__(self, executable: str, timeout: float = 60.0):
        self.timeout = timeout
        to_browser_read, self._to_browser = os.pipe()
        self._from_browser, from_browser_write = os.pipe()

        def wire():  # runs in the child: its fds 3 and 4 become the protocol pipe
            # Copies first, so that neither end is overwritten when a pipe already sits on 3 or 4.
            reading, writing = os.dup(to_browser_read), os.dup(from_browser_write)
            os.dup2(reading, 3)
            os.dup2(writing, 4)

        # A sanitizer runtime preloaded into the tests' interpreter must not reach the browser, which it
        # slows past any timeout.
        environment = {name: value for name, value in os.environ.items()
                       if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        self.process = subprocess.Popen([executable, *OFFLINE, "--remote-debugging-pipe", "about:blank"],
                                        close_fds=False, preexec_fn=wire, env=environment,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser_read)
        os.close(from_browser_write)
        self._buffer = b""
        self._next_id = 0
        self.events = []
        target = next(t for t in self.call("Target.getTargets")["targetInfos"] if t["type"] == "page")
        self.session = self.call("Target.attachToTarget", targetId=target["targetId"], flatten=True)["sessionId"]

    def _read_message(self) -> dict:
        deadline = time.monotonic() + self.timeout
        while b"\0" not in self._buffer:
            if time.monotonic() > deadline:
                raise TimeoutError("no reply from Chromium")
            chunk = os.read(self._from_browser, 1 << 20)
            if not chunk:
                raise ConnectionError("Chromium closed the protocol pipe")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method: str, session: str = None, **params) -> dict:
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        while True:
            reply = self._read_message()
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def page(self, method: str, **params) -> dict:
        return self.call(method, self.session, **params)

    def wait_for(self, event: str) -> dict:
        while True:
            found = next((e for e in self.events if e.get("method") == event), None)
            if found:
                self.events.remove(found)
                return found
            self.events.append(self._read_message())

    def open(self, url: str, width: int) -> None:
        """Loads `url` in a viewport `width` CSS pixels wide (a phone's below 600)."""
        self.page("Emulation.setDeviceMetricsOverride", width=width, height=900, deviceScaleFactor=1,
                  mobile=width < 600)
        self.page("Page.enable")
        self.page("Network.enable")
        self.events.clear()
        self.page("Page.navigate", url=url)
        self.wait_for("Page.loadEventFired")

    def requests(self) -> list:
        return [e["params"]["request"]["url"] for e in self.events if e.get("method") == "Network.requestWillBeSent"]

    def evaluate(self, expression: str):
        result = self.page("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError(result["exceptionDetails"])
        return result["result"].get("value")

    def screenshot(self, path, width: int, height: int) -> None:
        shot = self.page("Page.captureScreenshot", format="png", captureBeyondViewport=True,
                         clip={"x": 0, "y": 0, "width": width, "height": height, "scale": 1})
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))

    def close(self) -> None:
        try:
            self.call("Browser.close")
        except (ConnectionError, OSError, TimeoutError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)
