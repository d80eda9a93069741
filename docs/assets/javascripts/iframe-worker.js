// Search runs in a web worker, and browsers start no worker for a page opened from disk
// (file://). There, this runs the worker's script in a hidden frame instead and passes the
// messages between the two, so the site's search works from disk as it does when served.
// The search worker needs only messages both ways: no importScripts for an English site.
(function () {
  "use strict";
  if (location.protocol !== "file:") return;

  class FrameWorker extends EventTarget {
    constructor(url) {
      super();
      this.onmessage = null;
      this.onerror = null;
      this.queue = [];
      this.ready = false;
      const src = new URL(url, document.baseURI).href;
      const frame = (this.frame = document.createElement("iframe"));
      frame.hidden = true;
      frame.setAttribute("aria-hidden", "true");
      frame.srcdoc =
        "<script>" +
        "window.importScripts = function () { throw new Error('importScripts: not in a frame'); };" +
        "window.postMessage = function (data) { parent.postMessage({ frameWorker: data }, '*'); };" +
        "<\/script><script src=" + JSON.stringify(src) + "><\/script>";
      frame.addEventListener("load", () => {
        this.ready = true;
        for (const data of this.queue) this.send(data);
        this.queue = [];
      });
      window.addEventListener("message", (event) => {
        if (event.source !== frame.contentWindow || !event.data || !("frameWorker" in event.data)) return;
        const message = new MessageEvent("message", { data: event.data.frameWorker });
        this.dispatchEvent(message);
        if (typeof this.onmessage === "function") this.onmessage(message);
      });
      (document.body || document.documentElement).appendChild(frame);
    }

    postMessage(data) {
      if (this.ready) this.send(data);
      else this.queue.push(data);
    }

    // The frame's own postMessage answers the page, so a frame of the page's origin is handed
    // the message as an event; one of another origin is posted to (its postMessage is the native one).
    send(data) {
      const target = this.frame.contentWindow;
      let same = false;
      try {
        same = !!target.document;
      } catch (err) {
        same = false;
      }
      if (same) target.dispatchEvent(new target.MessageEvent("message", { data }));
      else target.postMessage(data, "*");
    }

    terminate() {
      this.frame.remove();
    }
  }

  window.Worker = FrameWorker;
})();
