// The page half of the Web MIDI driver (web_midi_driver.cpp). It runs on the
// page's main thread, the only place where the browser offers MIDI: it asks
// for access, reports the port lists to the program, sends what the program
// hands it and passes every arriving message on. It never waits on the
// program's threads.
Module.ql5Midi = (function () {
  let access = null;
  const listeners = new Map();  // handle -> {port, fn}

  function withString(text, use) {
    const size = lengthBytesUTF8(text) + 1;
    const ptr = _malloc(size);
    stringToUTF8(text, ptr, size);
    try { use(ptr); } finally { _free(ptr); }
  }

  // The ports the browser lists now, in its order; a disconnected port is
  // not there (that is how an unplugged unit looks to the program).
  function connected(map) {
    const ports = [];
    if (map) map.forEach((port) => { if (port.state !== 'disconnected') ports.push(port); });
    return ports;
  }

  function report() {
    if (!Module.ql5MidiReady) return;
    _ql5_midi_ports_begin();
    // (No destructuring here: the minifier of Emscripten 3.1.6 breaks it.)
    const lists = [access && access.inputs, access && access.outputs];
    for (let output = 0; output < 2; ++output) {
      for (const port of connected(lists[output])) {
        withString(String(port.id), (id) => withString(String(port.name || ''), (name) => {
          _ql5_midi_port(output, id, name);
        }));
      }
    }
    _ql5_midi_ports_end();
    if (typeof Module.ql5PortsChanged === 'function') Module.ql5PortsChanged();
  }

  function reason(error) {
    const name = error && error.name ? error.name : '';
    if (name === 'SecurityError' || name === 'NotAllowedError') return 'denied';
    return 'failed';
  }

  return {
    // Asks for MIDI with SysEx. Resolves to 'ok', 'none' (this browser has
    // no Web MIDI), 'denied' (the user or the site's settings refused
    // SysEx) or 'failed'.
    request: async function () {
      if (typeof navigator === 'undefined' || typeof navigator.requestMIDIAccess !== 'function') {
        return 'none';
      }
      try {
        access = await navigator.requestMIDIAccess({ sysex: true });
      } catch (e) {
        return reason(e);
      }
      if (!access) return 'failed';
      if (access.sysexEnabled === false) return 'denied';
      access.onstatechange = () => report();
      return 'ok';
    },
    // Called once the program's memory exists: the first port list.
    start: function () {
      Module.ql5MidiReady = true;
      report();
    },
    inputNames: function () { return connected(access && access.inputs).map((p) => p.name); },
    outputNames: function () { return connected(access && access.outputs).map((p) => p.name); },
    listen: function (handle, id) {
      const port = access && access.inputs.get(id);
      if (!port) return;
      const fn = (event) => {
        const data = event.data;
        if (!data || data.length === 0) return;
        const ptr = _malloc(data.length);
        HEAPU8.set(data, ptr);
        _ql5_midi_receive(handle, ptr, data.length);
        _free(ptr);
      };
      port.addEventListener('midimessage', fn);
      listeners.set(handle, { port, fn });
      // addEventListener does not open a port by itself (onmidimessage would).
      if (typeof port.open === 'function') port.open().catch(() => {});
    },
    unlisten: function (handle) {
      const l = listeners.get(handle);
      if (!l) return;
      l.port.removeEventListener('midimessage', l.fn);
      listeners.delete(handle);
    },
    // One whole message; 1 when the browser took it, 0 when it refused
    // (the port is gone, or the bytes are not a message it sends).
    send: function (id, ptr, count) {
      const port = access && access.outputs.get(id);
      if (!port || port.state === 'disconnected') return 0;
      try {
        // A copy: the browser may not keep a view of the program's shared
        // memory, and the program reuses its buffer.
        port.send(HEAPU8.slice(ptr, ptr + count));
        return 1;
      } catch (e) {
        return 0;
      }
    },
  };
})();
