// Loaded as a classic script before anything else in every page, so that nothing the
// library sends is lost while the page's modules are still loading:
// - console.log is tapped: the library's log, error and warning lines arrive as
//   console.log('...') scripts at any time; each line still reaches the real console (the
//   host keeps the console log file), and is also handed to the page's log panel;
// - KorvexEventHandler.sendEvent exists from the first moment and queues events until
//   the page attaches its handler.
(function (global) {
  'use strict';
  var LIMIT = 1000; // lines or events kept while nobody listens yet
  var lines = [];
  var events = [];
  var lineSink = null;
  var eventSink = null;
  var console = global.console || {};
  var original = typeof console.log === 'function' ? console.log : function () {};

  function keep(queue, item) {
    queue.push(item);
    if (queue.length > LIMIT) queue.splice(0, queue.length - LIMIT);
  }

  function deliverLine(text) {
    if (lineSink) {
      try { lineSink(text); } catch (err) { /* a broken panel must not break logging */ }
    } else {
      keep(lines, text);
    }
  }

  console.log = function () {
    try { original.apply(console, arguments); } catch (err) { /* console gone */ }
    if (arguments.length > 0) {
      var parts = [];
      for (var i = 0; i < arguments.length; i++) parts.push(String(arguments[i]));
      deliverLine(parts.join(' '));
    }
  };

  global.KorvexEventHandler = {
    sendEvent: function (event) {
      if (!event || typeof event !== 'object' || typeof event.name !== 'string') {
        deliverLine('** WARNING => page received an event without a name');
        return;
      }
      if (eventSink) {
        try { eventSink(event); } catch (err) {
          deliverLine('** WARNING => page failed to handle event ' + event.name + ': ' + err);
        }
      } else {
        keep(events, event);
      }
    },
  };

  global.KorvexBoot = {
    attachLog: function (sink) {
      lineSink = sink;
      var queued = lines.splice(0, lines.length);
      for (var i = 0; i < queued.length; i++) deliverLine(queued[i]);
    },
    attachEvents: function (sink) {
      eventSink = sink;
      var queued = events.splice(0, events.length);
      for (var i = 0; i < queued.length; i++) global.KorvexEventHandler.sendEvent(queued[i]);
    },
  };
})(typeof window !== 'undefined' ? window : globalThis);
