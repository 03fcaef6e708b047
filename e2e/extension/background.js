// Talks to the native host for the end-to-end test. It keeps a log of every
// message it receives and does what the application asks through the host:
//   {"type":"echo", ...}          answers {"type":"echoed","message":<it>}
//   {"type":"send","messages":[]} sends each of the messages
//   {"type":"report"}             answers {"type":"report","log":[...]}
//   {"type":"disconnect"}         closes the port, which ends the host
// Messages sent while the application is away are lost by design, hence the
// log: the application asks for it once it is back.

const log = [];
const port = chrome.runtime.connectNative("com.ostrel.native_host");

port.onMessage.addListener((message) => {
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

// The first two messages: a "hello" with text that must arrive unchanged,
// and the window state.
port.postMessage({
  type: "hello",
  client: "e2e",
  text: "h\u00e9llo w\u00f6rld \u2713 \ud83c\udf89 \"quoted\" back\\slash <tag> &amp;",
  numbers: [0, -7, 2.5, 1e21],
  flags: {on: true, off: false, none: null},
});
port.postMessage({type: "focus", seq: 1});
