// A small socketcand client: the handshake, frames in both directions, nothing else.
'use strict';

const net = require('node:net');
const { EventEmitter } = require('node:events');

class SocketcandBus extends EventEmitter {
    // Resolves once the channel is open in raw mode.
    static connect(host, port, channel = 'can0') {
        return new Promise((resolve, reject) => {
            const bus = new SocketcandBus();
            const socket = net.createConnection({ host, port });
            socket.setNoDelay(true);
            bus._socket = socket;
            let buffer = '';
            let step = 0;  // 0: wait hi, 1: wait ok (open), 2: wait ok (rawmode), 3: frames
            socket.on('error', (e) => (step < 3 ? reject(e) : bus.emit('error', e)));
            socket.on('close', () => bus.emit('close'));
            socket.on('data', (chunk) => {
                buffer += chunk.toString('latin1');
                for (;;) {
                    const start = buffer.indexOf('<');
                    const end = buffer.indexOf('>', start);
                    if (start < 0 || end < 0) break;
                    const message = buffer.slice(start + 1, end).trim();
                    buffer = buffer.slice(end + 1);
                    if (step === 0 && message === 'hi') {
                        socket.write(`< open ${channel} >`);
                        step = 1;
                    } else if (step === 1 && message === 'ok') {
                        socket.write('< rawmode >');
                        step = 2;
                    } else if (step === 2 && message === 'ok') {
                        step = 3;
                        resolve(bus);
                    } else if (step === 3) {
                        bus._message(message);
                    } else {
                        reject(new Error(`socketcand handshake: unexpected "${message}"`));
                    }
                }
            });
        });
    }

    _message(text) {
        // frame ID SECONDS.MICROS DATA (DATA empty for a zero-length frame)
        const parts = text.split(' ');
        if (parts[0] !== 'frame' || parts.length < 3) return;
        const idText = parts[1];
        const hex = parts.length > 3 ? parts[3] : '';
        this.emit('message', {
            id: parseInt(idText, 16),
            extended: idText.length > 3,
            data: Buffer.from(hex, 'hex'),
            time: Number(parts[2]),  // seconds on the bus's clock
        });
    }

    // Sends one data frame: { id, data } with data a Buffer of 0..8 bytes.
    send({ id, data }) {
        const bytes = [...data].map((b) => b.toString(16));
        const idText = id.toString(16).padStart(3, '0');
        this._socket.write(`< send ${idText} ${data.length} ${bytes.join(' ')} >`);
    }

    close() {
        this._socket.end();
        this._socket.destroy();
    }
}

module.exports = { SocketcandBus };
