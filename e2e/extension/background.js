// Talks to the native host for the end-to-end test, in Chromium and in
// Firefox alike. It keeps a log of every message it receives and does what
// the application asks through the host:
//   {"type":"echo", ...}          answers {"type":"echoed","message":<it>}
//   {"type":"send","messages":[]} sends each of the messages
//   {"type":"measure", ...}       answers {"type":"measured","bytes":N,"fnv1a":H}: the
//                                 UTF-8 length and FNV-1a hash of the message as JSON
//                                 (the log keeps this answer, not the message)
//   {"type":"report"}             answers {"type":"report","log":[...]}
//   {"type":"disconnect"}         closes the port, which ends the host
// Messages sent while the application is away are lost by design, hence the
// log: the application asks for it once it is back.
//
// It also says on the browser's console, in lines that begin "ostrel-e2e: ",
// each status it receives and why the browser refused the connection, where
// the browser says why: the oracle test reads them from the browser's output.

function say(words) {
  console.log("ostrel-e2e: " + words);
}

const log = [];
let port;
try {
  port = chrome.runtime.connectNative("com.ostrel.native_host");
} catch (error) {
  say("failed: " + error.message);
  throw error;
}
port.onDisconnect.addListener((closed) => {
  // Chromium gives the reason in lastError, Firefox in the port.
  const error = closed.error || chrome.runtime.lastError;
  say("disconnected: " + (error ? error.message : "no reason given"));
});

function measured(message) {
  const bytes = new TextEncoder().encode(JSON.stringify(message));
  let hash = 0x811c9dc5;
  for (const byte of bytes) hash = Math.imul(hash ^ byte, 0x01000193) >>> 0;
  return {type: "measured", bytes: bytes.length, fnv1a: hash};
}

port.onMessage.addListener((message) => {
  if (message.type === "status") say("status " + message.app);
  if (message.type === "measure") {
    const answer = measured(message);
    log.push(answer);
    port.postMessage(answer);
    return;
  }
  log.push(message);
  switch (message.type) {
    case "echo":
      port.postMessage({type: "echoed", message});
      break;
    case "send":
      for (const each of message.messages) port.postMessage(each);
      break;
    case "report":
      port.postMessage({type: "report", log});
      break;
    case "disconnect":
      port.disconnect();
      break;
  }
});

// The first two messages, sent at once, while the application is away: a
// "hello" with text that must arrive unchanged, and the window state.
port.postMessage({
  type: "hello",
  client: "e2e",
  text: "h\u00e9llo w\u00f6rld \u2713 \ud83c\udf89 \"quoted\" back\\slash <tag> &amp;",
  numbers: [0, -7, 2.5, 1e21],
  flags: {on: true, off: false, none: null},
});
port.postMessage({type: "focus", seq: 1});
