"""The bridge's connection to the broker: TLS and credentials, the last will, reconnecting with back-off,
and the retained values kept so that a broker that restarted gets them all again."""

from __future__ import annotations

import logging
import ssl
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import paho.mqtt.client as paho
from paho.mqtt.enums import CallbackAPIVersion

__all__ = ["BrokerLink", "BrokerSettings"]

_log = logging.getLogger("cnc_api_tools.mqtt")

# Messages paho may hold for a slow broker before publish refuses more; values come again on change
# and every retained one is sent again after a reconnect, so a refusal loses nothing that lasts.
MAX_QUEUED = 20000
MAX_INFLIGHT = 1000


@dataclass(frozen=True)
class BrokerSettings:
    host: str = "127.0.0.1"
    port: int = 1883
    client_id: str = "cnc-api-mqtt"
    username: str | None = None
    password: str | None = None
    tls: bool = False
    ca: str | None = None  # CA file; the system's CAs when None
    cert: str | None = None  # client certificate (PEM), with `key`
    key: str | None = None
    keepalive: int = 30
    qos: int = 0
    min_delay: float = 1.0  # reconnect back-off, seconds
    max_delay: float = 30.0


class BrokerLink:
    """One paho client. `publish` of a retained value keeps it, and every kept value is published again
    on each connect, before `on_connect` hooks run; all publishing goes through one lock so that a value
    published anew is never overtaken by the copy a reconnect sends again."""

    def __init__(self, settings: BrokerSettings, will: tuple[str, bytes, bool]) -> None:
        self.settings = settings
        self.client = paho.Client(CallbackAPIVersion.VERSION2, client_id=settings.client_id, clean_session=True)
        client = self.client
        if settings.username is not None:
            client.username_pw_set(settings.username, settings.password)
        if settings.tls or settings.ca or settings.cert:
            client.tls_set(
                ca_certs=settings.ca,
                certfile=settings.cert,
                keyfile=settings.key,
                cert_reqs=ssl.CERT_REQUIRED,
                tls_version=ssl.PROTOCOL_TLS_CLIENT,
            )
        topic, payload, retain = will
        client.will_set(topic, payload, qos=1, retain=retain)
        client.reconnect_delay_set(int(max(1, settings.min_delay)), int(max(1, settings.max_delay)))
        client.max_queued_messages_set(MAX_QUEUED)
        client.max_inflight_messages_set(MAX_INFLIGHT)
        client.on_connect = self._on_connect
        client.on_disconnect = self._on_disconnect
        client.on_connect_fail = self._on_connect_fail
        client.on_message = self._on_message
        self.lock = threading.RLock()
        self.connected = threading.Event()
        self.connects = 0
        self.last_error: str | None = None
        self.stopping = False
        self._unreachable_said = False  # said once per outage, not at every retry
        self._retained: dict[str, bytes] = {}
        self._subscriptions: list[str] = []
        self.on_connect: list[Callable[[], None]] = []
        self.on_disconnect: list[Callable[[], None]] = []
        self.on_message: Callable[[str, bytes], None] | None = None

    # ----- lifecycle --------------------------------------------------------------------------

    def start(self) -> None:
        """Connect in the background; a broker that is not there yet is retried with back-off."""
        self.client.connect_async(self.settings.host, self.settings.port, self.settings.keepalive)
        self.client.loop_start()

    def stop(self, last: Sequence[tuple[str, bytes, bool]] = ()) -> None:
        """Publish `last` (when connected), disconnect cleanly (no will), and end the network thread."""
        with self.lock:
            infos = [self.client.publish(t, p, 1, r) for t, p, r in last] if self.connected.is_set() else []
        deadline = time.monotonic() + 5.0  # a broker that stalls does not hold the exit for long
        for info in infos:
            try:
                info.wait_for_publish(max(0.0, deadline - time.monotonic()))
            except (RuntimeError, ValueError):
                pass
        self.stopping = True
        self.client.disconnect()
        self.client.loop_stop()

    def subscribe(self, pattern: str) -> None:
        """Subscribe now and after every reconnect."""
        with self.lock:
            self._subscriptions.append(pattern)
            if self.connected.is_set():
                self.client.subscribe(pattern, 1)

    # ----- publishing -------------------------------------------------------------------------

    def publish(self, topic: str, payload: bytes, retain: bool = True, qos: int | None = None) -> None:
        with self.lock:
            if retain:
                self._retained[topic] = payload
            if self.connected.is_set():
                self.client.publish(topic, payload, self.settings.qos if qos is None else qos, retain)

    def publish_many(self, messages: list[tuple[str, bytes]], retain: bool = True) -> None:
        with self.lock:
            if retain:
                self._retained.update(messages)
            if self.connected.is_set():
                publish, qos = self.client.publish, self.settings.qos
                for topic, payload in messages:
                    publish(topic, payload, qos, retain)

    # ----- paho's callbacks (on its network thread) -------------------------------------------

    def _on_connect(self, client: paho.Client, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        if reason.is_failure:
            self.last_error = str(reason)
            _log.warning("broker %s:%s refused the connection: %s", self.settings.host, self.settings.port, reason)
            return
        with self.lock:
            self.connects += 1
            self.last_error = None
            self._unreachable_said = False
            for pattern in self._subscriptions:
                client.subscribe(pattern, 1)
            for topic, payload in self._retained.items():
                client.publish(topic, payload, self.settings.qos, True)
            self.connected.set()
            for hook in self.on_connect:
                hook()
        _log.info("connected to the broker %s:%s", self.settings.host, self.settings.port)

    def _on_connect_fail(self, client: paho.Client, userdata: Any) -> None:
        self.last_error = "not reachable"
        if not self._unreachable_said and not self.stopping:
            self._unreachable_said = True
            _log.warning("broker %s:%s not reachable; retrying with back-off", self.settings.host, self.settings.port)

    def _on_disconnect(self, client: paho.Client, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        with self.lock:
            was = self.connected.is_set()
            self.connected.clear()
            for hook in self.on_disconnect:
                hook()
        if was and not self.stopping:
            self.last_error = str(reason)
            self._unreachable_said = True  # the retries that follow are this outage's
            _log.warning("lost the broker (%s); reconnecting with back-off", reason)

    def _on_message(self, client: paho.Client, userdata: Any, message: paho.MQTTMessage) -> None:
        if self.on_message is not None:
            try:
                self.on_message(message.topic, bytes(message.payload))
            except Exception:  # one bad message must not end paho's network thread
                _log.exception("handling a message on %s failed", message.topic)
