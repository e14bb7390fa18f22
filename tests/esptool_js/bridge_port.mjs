// A Web Serial style port over jyx-sim's simulated FTDI bridge (the Unix
// socket protocol of ftd2xx/bridge_protocol.h), so that esptool-js's own
// Transport, SLIP code and reset sequences run unchanged against it.
import net from "node:net";

const HEADER = 8;
const T_OPEN = 0x02, T_SET = 0x03, T_WRITE = 0x04, T_CLOSE = 0x05;
const T_REPLY = 0x81, T_DATA = 0x82, T_WRITTEN = 0x83;
const SET_BAUD = 1, SET_DATA = 2, SET_DTR = 4, SET_RTS = 5;
const MAX_WRITE = 4096;

function message(type, payload) {
  const out = Buffer.alloc(HEADER + payload.length);
  out[0] = type;
  out.writeUInt32LE(payload.length, 4);
  Buffer.from(payload).copy(out, HEADER);
  return out;
}

export class BridgePort {
  constructor(socketPath, index) {
    this.socketPath = socketPath;
    this.index = index;
    this.inbound = Buffer.alloc(0);
    this.waiters = [];  // {type, resolve, reject, timer}
    this.readable = null;
    this.writable = null;
  }

  getInfo() {
    return { usbVendorId: 0x0403, usbProductId: 0x6011 };
  }

  async open(options) {
    this.socket = net.createConnection({ path: this.socketPath });
    await new Promise((resolve, reject) => {
      this.socket.once("connect", resolve);
      this.socket.once("error", reject);
    });
    this.readable = new ReadableStream({
      start: (controller) => { this.controller = controller; },
    });
    this.socket.on("data", (chunk) => this.onData(chunk));
    this.socket.on("close", () => {
      for (const w of this.waiters) w.reject(new Error("bridge closed"));
      this.waiters = [];
    });
    const index = Buffer.alloc(4);
    index.writeUInt32LE(this.index, 0);
    await this.request(T_OPEN, index, T_REPLY);
    await this.set(SET_BAUD, options.baudRate ?? 115200, 0);
    await this.set(SET_DATA, 8, 0);
    this.writable = new WritableStream({
      write: async (chunk) => {
        for (let pos = 0; pos < chunk.length; pos += MAX_WRITE) {
          const part = chunk.subarray(pos, Math.min(chunk.length, pos + MAX_WRITE));
          const reply = await this.request(T_WRITE, part, T_WRITTEN);
          if (reply.readUInt32LE(0) !== part.length) throw new Error("short write");
        }
      },
    });
  }

  onData(chunk) {
    this.inbound = Buffer.concat([this.inbound, chunk]);
    while (this.inbound.length >= HEADER) {
      const n = this.inbound.readUInt32LE(4);
      if (this.inbound.length < HEADER + n) break;
      const type = this.inbound[0];
      const payload = this.inbound.subarray(HEADER, HEADER + n);
      this.inbound = this.inbound.subarray(HEADER + n);
      if (type === T_DATA) {
        this.controller.enqueue(new Uint8Array(payload));
        continue;
      }
      const i = this.waiters.findIndex((w) => w.type === type);
      if (i >= 0) {
        const w = this.waiters.splice(i, 1)[0];
        clearTimeout(w.timer);
        w.resolve(Buffer.from(payload));
      }
    }
  }

  request(type, payload, replyType, timeoutMs = 5000) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error("bridge did not answer")), timeoutMs);
      this.waiters.push({ type: replyType, resolve, reject, timer });
      this.socket.write(message(type, payload));
    });
  }

  async set(op, a, b) {
    const p = Buffer.alloc(12);
    p[0] = op;
    p.writeUInt32LE(a >>> 0, 4);
    p.writeUInt32LE(b >>> 0, 8);
    const reply = await this.request(T_SET, p, T_REPLY);
    const status = reply.readUInt32LE(0);
    if (status !== 0) throw new Error(`bridge refused setting ${op}: ${status}`);
  }

  async setSignals(signals) {
    for (const [name, op] of [["dataTerminalReady", SET_DTR], ["requestToSend", SET_RTS]]) {
      if (signals[name] !== undefined) await this.set(op, signals[name] ? 1 : 0, 0);
    }
  }

  async close() {
    if (!this.socket) return;
    this.socket.write(message(T_CLOSE, Buffer.alloc(0)));
    this.socket.end();
    this.socket = null;
  }
}
