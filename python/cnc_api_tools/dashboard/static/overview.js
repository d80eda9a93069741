/* Overview: one tile per machine, updated from the live stream. */
(function () {
  "use strict";
  CncDash.stream("/api/events", (m) => {
    const tile = document.getElementById(`tile-${m.id}`);
    if (tile) CncDash.renderStatus(tile, m);
  });
})();
