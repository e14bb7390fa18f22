// Cross-check of jyx-sim's ESP32 ROM loader with an independent client:
// esptool-js connects through the simulated bridge (reset into the loader,
// SYNC), identifies the chip, writes an image to flash and reads its MD5
// back. Prints one "key: value" line per finding; exits 0 only when the
// flash reads back equal.
//
//   node esptool_check.mjs SOCKET INTERFACE IMAGE ADDRESS
import crypto from "node:crypto";
import fs from "node:fs";
import { ESPLoader, Transport } from "esptool-js";
import { BridgePort } from "./bridge_port.mjs";

const [socketPath, index, imagePath, addressText] = process.argv.slice(2);
const address = Number(addressText);
const image = new Uint8Array(fs.readFileSync(imagePath));
const quiet = { clean() {}, writeLine() {}, write() {} };

async function main() {
  const port = new BridgePort(socketPath, Number(index));
  const transport = new Transport(port, false);
  const loader = new ESPLoader({ transport, baudrate: 115200, romBaudrate: 115200, terminal: quiet });
  await loader.detectChip("default_reset");
  console.log(`chip: ${loader.chip.CHIP_NAME}`);
  console.log(`description: ${await loader.chip.getChipDescription(loader)}`);
  console.log(`stub: ${loader.IS_STUB}`);
  const blockSize = loader.FLASH_WRITE_SIZE;
  const blocks = await loader.flashBegin(image.length, address);
  for (let seq = 0; seq < blocks; seq++) {
    const block = new Uint8Array(blockSize).fill(0xff);
    block.set(image.subarray(seq * blockSize, Math.min(image.length, (seq + 1) * blockSize)));
    await loader.flashBlock(block, seq, 3000);
  }
  await loader.flashFinish(false);  // stay in the loader for the digest
  const reported = await loader.flashMd5sum(address, image.length);
  // The ROM sends the digest as 32 hex characters; esptool-js hexifies them.
  const digest = Buffer.from(reported, "hex").toString("ascii");
  const expected = crypto.createHash("md5").update(image).digest("hex");
  console.log(`md5: ${digest}`);
  console.log(`expected: ${expected}`);
  await transport.disconnect().catch(() => {});
  return digest === expected ? 0 : 1;
}

main().then(
  (code) => process.exit(code),
  (err) => {
    console.log(`error: ${err && err.message ? err.message : err}`);
    process.exit(2);
  });
