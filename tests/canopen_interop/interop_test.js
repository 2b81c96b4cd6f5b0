#!/usr/bin/env node
// The CANopen slave of a twin node against an independent CANopen master (the npm package
// `canopen`) over the twin's socketcand server.
//
// Usage: node interop_test.js TAVRIX_SIM EDS_FILE
// Starts `tavrix-sim serve` with node 5 on a free port, runs the session below, stops the twin.
// Exit status 0 when every check passes.
//
// The node departs from stock masters in one place this test meets: a download must carry
// exactly the object's size, and the library always sends 8 bytes, so downloads to one- and
// two-byte objects are sent as exact-length frames by the test itself.
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { Device, Eds, ObjectType } = require('canopen');
const { SocketcandBus } = require('./socketcand.js');

const [SIM, EDS_FILE] = process.argv.slice(2);
const NODE = 5;
const MASTER = 0x7F;
const SAVE = 0x65766173;

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// `tavrix-sim serve` on a port the system picks; resolves with { proc, port }.
function startTwin(dir) {
    return new Promise((resolve, reject) => {
        const proc = spawn(SIM, ['serve', '--port', '0', '--node', String(NODE), '--factory',
            '--eeprom-dir', dir], { stdio: ['ignore', 'ignore', 'pipe'] });
        let err = '';
        proc.stderr.on('data', (d) => {
            err += d.toString();
            const m = /port (\d+)/.exec(err);
            if (m) resolve({ proc, port: Number(m[1]) });
        });
        proc.on('exit', (code) => reject(new Error(`tavrix-sim ended (${code}): ${err}`)));
    });
}

async function main() {
    const nodeEds = Eds.fromFile(EDS_FILE);
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrix-canopen-'));
    const twin = await startTwin(dir);
    const bus = await SocketcandBus.connect('127.0.0.1', twin.port);
    await sleep(100);  // the server keeps quiet right after the handshake

    // The master: an SDO client for node 5, the node's heartbeat consumed, every frame logged.
    const master = new Device({ id: MASTER });
    master.eds.addSdoClientParameter(NODE, 0x600 + NODE, 0x580 + NODE);
    master.eds.addHeartbeatConsumer(NODE, 5000);
    master.addListener('message', (m) => bus.send(m));
    const frames = [];
    bus.on('message', (m) => {
        frames.push(m);
        master.receive(m);
    });
    master.start();

    // Frames with identifier `id` received after the mark `t` (a count of frames).
    const mark = () => frames.length;
    const since = (t, id) => frames.slice(t).filter((f) => f.id === id);
    const waitFor = async (what, test, ms = 3000) => {
        const end = Date.now() + ms;
        while (Date.now() < end) {
            const r = test();
            if (r) return r;
            await sleep(10);
        }
        throw new Error(`timed out waiting for ${what}`);
    };
    const heartbeatAfter = async (t, ms = 3000) =>
        (await waitFor('a heartbeat', () => since(t, 0x700 + NODE)[0], ms)).data[0];
    const typeOf = (index, sub) => {
        const object = nodeEds.getEntry(index);
        const entry = object.objectType === ObjectType.VAR ? object
            : nodeEds.getSubEntry(index, sub);
        return entry ? entry.dataType : null;  // null: not in the EDS, raw bytes
    };
    const upload = (index, subIndex = 0, timeout = 5000) =>
        master.sdo.upload({ serverId: NODE, index, subIndex, dataType: typeOf(index, subIndex),
            timeout });
    const download = (index, subIndex, data) =>
        master.sdo.download({ serverId: NODE, index, subIndex, data,
            dataType: typeOf(index, subIndex), timeout: 5000 });
    // An exact-length download: resolves with the answer's command byte and bytes 4..7.
    const exact = async (index, subIndex, value, size) => {
        const t = mark();
        const data = Buffer.alloc(4 + size);
        data.writeUInt8(0x22, 0);
        data.writeUInt16LE(index, 1);
        data.writeUInt8(subIndex, 3);
        data.writeUIntLE(value, 4, size);
        bus.send({ id: 0x600 + NODE, data });
        const r = await waitFor(`the answer to ${index.toString(16)}`,
            () => since(t, 0x580 + NODE)[0]);
        return { cs: r.data[0], value: r.data.readUInt32LE(4), time: r.time };
    };
    // The bus time now: the time stamp of the answer to an upload of 0x1000.
    const busTime = async () => {
        const t = mark();
        bus.send({ id: 0x600 + NODE, data: Buffer.from([0x40, 0x00, 0x10, 0, 0, 0, 0, 0]) });
        return (await waitFor('an upload answer', () => since(t, 0x580 + NODE)[0])).time;
    };
    const nmt = (command, node = NODE) => bus.send({ id: 0, data: Buffer.from([command, node]) });

    try {
        // The NMT start is the switch frame and the first CANopen frame. The factory EEPROM has
        // no dictionary store: the first heartbeat says pre-operational.
        let t = mark();
        nmt(0x01);
        assert.equal(await heartbeatAfter(t), 127);

        // Uploads across the object kinds.
        assert.equal(await upload(0x1000), 0x402);
        assert.equal(await upload(0x1008), 'Tavx');
        assert.equal(await upload(0x1018, 1), 0x54415658);
        assert.equal(await upload(0x1200, 1), 0x605);
        assert.equal(await upload(0x3F00, 3), NODE);                  // property link
        await assert.rejects(upload(0x60A0), (e) => e.code === 0x06010001);  // write-only
        await assert.rejects(upload(0x3F00, 14), (e) => e.code === 0x06020000);

        // Downloads: 32-bit objects by the library; a read-only object refused; the library's
        // 8-byte download to a two-byte object refused by its size, after which (its own abort
        // not answered) the next transfer still gets its own answer.
        await download(0x6502, 0, 0xA1B2C3D4);
        assert.equal(await upload(0x6502), 0xA1B2C3D4);
        await download(0x6404, 0, 'ABCD');
        assert.equal(await upload(0x6404), 'ABCD');
        await assert.rejects(download(0x1000, 0, 1), (e) => e.code === 0x06010002);
        await assert.rejects(download(0x1017, 0, 100), (e) => e.code === 0x05040002);
        assert.equal(await upload(0x1000), 0x402);
        // Exact lengths: 2 and 1 bytes; 0x1018 sub 6 sign-extends, 0x2401 zero-extends.
        assert.equal((await exact(0x2401, 0, 0xFFFF, 2)).cs, 0x60);
        assert.equal(await upload(0x2401), 0xFFFF);
        await download(0x1018, 6, 0xFFFF);
        assert.equal(await upload(0x1018, 6), 0xFFFFFFFF);
        // 0x3F00 writes are acknowledged and change nothing.
        await download(0x3F00, 3, 9);
        assert.equal(await upload(0x3F00, 3), NODE);

        // Store the SYNC identifier, a heartbeat of 200 ms and a value; reset; find them.
        assert.equal((await exact(0x1017, 0, 200, 2)).cs, 0x60);
        await download(0x1005, 0, 0x80);
        await download(0x1F80, 0, 0);  // start operational
        const ack = await exact(0x1010, 1, SAVE, 4);
        assert.equal(ack.cs, 0x60);
        assert.equal(ack.value, 1);  // the row keeps its value
        await download(0x6502, 0, 7);  // not saved
        t = mark();
        nmt(0x81);  // reset node: back in the property protocol
        await sleep(300);
        assert.equal(since(t, 0x700 + NODE).length, 0);  // no boot-up message
        t = mark();
        nmt(0x80, 0);  // switches again; then pre-operational
        assert.equal(await heartbeatAfter(t), 5);  // operational by 0x1F80
        assert.equal(await upload(0x1017), 200);
        assert.equal(await upload(0x6502), 0xA1B2C3D4);

        // The heartbeat, consumed by the master: the state follows NMT, every 200 ms or so.
        t = mark();
        assert.equal(await heartbeatAfter(t), 127);
        nmt(0x02);
        t = mark();
        assert.equal(await heartbeatAfter(t), 4);
        await assert.rejects(upload(0x1000, 0, 1000), /time/i);  // stopped: no SDO answer
        nmt(0x01, 0);
        t = mark();
        // Periods from the bus time stamps (the twin may run behind the wall clock).
        const beats = await waitFor('four heartbeats', () => {
            const b = since(t, 0x700 + NODE);
            return b.length >= 4 ? b : null;
        }, 10000);
        for (let i = 1; i < beats.length; ++i) {
            const dt = beats[i].time - beats[i - 1].time;
            assert.ok(dt > 0.195 && dt < 0.21, `heartbeat period ${dt} s`);
        }
        assert.equal(beats[beats.length - 1].data[0], 5);
        assert.equal(await master.nmt.getNodeState(NODE), 5);
        // Reset communication keeps the node reachable and its state.
        nmt(0x82);
        await sleep(50);
        assert.equal(await upload(0x1000), 0x402);
        // A period of 32768 ms or more is stored and read back, and stops the heartbeat after
        // the beat already scheduled.
        t = mark();
        const stop = await exact(0x1017, 0, 40000, 2);
        assert.equal(stop.cs, 0x60);
        assert.equal(await upload(0x1017), 40000);
        while ((await busTime()) < stop.time + 1.0) await sleep(100);
        const late = since(t, 0x700 + NODE).filter((f) => f.time > stop.time + 0.21);
        assert.equal(late.length, 0);

        // PDOs by the CiA 301 procedure while the master produces SYNC every 20 ms: RPDO 1 on
        // 0x205 (type 1) into 0x6502, TPDO 1 on 0x185 (type 1) with 0x6502 and 0x1001.
        const sync = setInterval(() => bus.send({ id: 0x80, data: Buffer.alloc(0) }), 20);
        try {
            await download(0x1800, 1, 0x80000185);
            assert.equal((await exact(0x1800, 2, 1, 1)).cs, 0x60);
            assert.equal((await exact(0x1A00, 0, 0, 1)).cs, 0x60);
            await download(0x1A00, 1, 0x65020020);
            await download(0x1A00, 2, 0x10010008);
            assert.equal((await exact(0x1A00, 0, 2, 1)).cs, 0x60);
            await download(0x1400, 1, 0x80000205);
            assert.equal((await exact(0x1400, 2, 1, 1)).cs, 0x60);
            assert.equal((await exact(0x1600, 0, 0, 1)).cs, 0x60);
            await download(0x1600, 1, 0x65020020);
            assert.equal((await exact(0x1600, 0, 1, 1)).cs, 0x60);
            // Mapping errors are refused with their codes.
            await assert.rejects(download(0x1600, 2, 0x12340020), (e) => e.code === 0x06020000);
            await assert.rejects(download(0x1600, 2, 0x60A10010), (e) => e.code === 0x06040041);
            assert.equal((await exact(0x1600, 0, 5, 1)).value, 0x06090031);
            assert.equal(frames.filter((f) => f.id === 0x185 || f.extended).length, 0);
            await download(0x1400, 1, 0x205);
            await download(0x1800, 1, 0x185);
            bus.send({ id: 0x205, data: Buffer.from([0x44, 0x33, 0x22, 0x11]) });
            t = mark();
            const tpdo = await waitFor('a TPDO with the received value', () =>
                since(t, 0x185).find((f) => f.data.length === 5 && f.data.readUInt32LE(0) === 0x11223344));
            assert.equal(tpdo.extended, false);
            assert.equal(await upload(0x6502), 0x11223344);
        } finally {
            clearInterval(sync);
        }

        // The motor through the dictionary: homing by 0x6060 = 6, a scaled move by 0x60A0,
        // followed on 0x60A1; the error register stays clear.
        await download(0x6060, 0, 6);
        let homedScaled = -1;
        const homingEnd = Date.now() + 60000;
        while (Date.now() < homingEnd) {
            await sleep(500);
            const mode = await upload(0x3F00, 8);
            const homed = await upload(0x3F00, 103);
            if (homed === 1 && mode === 3) {
                homedScaled = await upload(0x60A1);
                break;
            }
        }
        assert.ok(homedScaled >= 0, 'homed through 0x6060');
        assert.equal((await exact(0x60A0, 0, 0x8000, 2)).cs, 0x60);
        let scaled = -1;
        const moveEnd = Date.now() + 20000;
        while (Date.now() < moveEnd) {
            await sleep(200);
            scaled = await upload(0x60A1);
            if (Math.abs(scaled - 0x8000) < 200) break;
        }
        assert.ok(Math.abs(scaled - 0x8000) < 200, `scaled position ${scaled}`);
        assert.equal(await upload(0x1001), 0);

        console.log('CANopen interoperability with the canopen package: all checks passed');
    } finally {
        master.stop();
        bus.close();
        twin.proc.kill('SIGTERM');
        fs.rmSync(dir, { recursive: true, force: true });
    }
}

main().then(() => process.exit(0), (e) => {
    console.error(e);
    process.exit(1);
});
