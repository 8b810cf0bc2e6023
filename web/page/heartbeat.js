// The page's heartbeat, kept in a worker: a browser slows the timers of a tab in the background
// to one a second, which would let the page's run stop whenever its tab is not shown.
'use strict';
setInterval(() => postMessage('beat'), 250);
