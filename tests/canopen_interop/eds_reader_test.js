#!/usr/bin/env node
// Loads the shipped EDS with an independent CANopen master library (the npm package `canopen`)
// and checks that it reads the node as we describe it: identity, object count, access, data
// types, PDO-mappable flags and defaults.
//
// Usage: node eds_reader_test.js PATH/TO/tavrix.eds   (exit status 0 when every check passes)
'use strict';

const assert = require('node:assert/strict');
const { Eds, DataType, AccessType } = require('canopen');

const eds = Eds.fromFile(process.argv[2]);

// Identity: the device-info numbers are the values of 0x1018 sub 1 and 2.
assert.equal(Number(eds.vendorNumber), eds.getSubEntry(0x1018, 1).value);
assert.equal(Number(eds.productNumber), eds.getSubEntry(0x1018, 2).value);
assert.equal(eds.getSubEntry(0x1018, 1).value, 0x54415658);
assert.equal(eds.nrOfRXPDO, 4);
assert.equal(eds.nrOfTXPDO, 4);

// 60 objects; 0x3F00 has its 111 property links, sub-indices with gaps.
assert.equal([...eds.keys()].length, 60);
assert.equal(eds.getEntry(0x3F00).subNumber, 111);
assert.equal(eds.getSubEntry(0x3F00, 56).parameterName, 'Property 56 UPPER_LIMIT');
assert.ok(eds.getSubEntry(0x3F00, 14) == null);

// Values and types as the node holds them.
assert.equal(eds.getEntry(0x1000).value, 0x402);
assert.equal(eds.getEntry(0x1008).value, 'Tavx');
assert.equal(eds.getEntry(0x1008).dataType, DataType.VISIBLE_STRING);
assert.equal(eds.getEntry(0x1017).dataType, DataType.UNSIGNED16);
assert.equal(eds.getHeartbeatProducerTime(), 2000);
assert.equal(eds.getSyncCobId(), 0x80);
assert.equal(eds.getEntry(0x1001).dataType, DataType.UNSIGNED8);
assert.equal(eds.getSubEntry(0x1400, 2).dataType, DataType.UNSIGNED8);
assert.equal(eds.getSubEntry(0x1A00, 1).dataType, DataType.UNSIGNED32);

// Access from the accessors: read-only, write-only, read-write.
assert.equal(eds.getEntry(0x1000).accessType, AccessType.READ_ONLY);
assert.equal(eds.getEntry(0x60A0).accessType, AccessType.WRITE_ONLY);
assert.equal(eds.getEntry(0x60A1).accessType, AccessType.READ_ONLY);
assert.equal(eds.getEntry(0x6060).accessType, AccessType.READ_WRITE);
assert.equal(eds.getSubEntry(0x1010, 1).accessType, AccessType.READ_WRITE);

// PDO-mappable: application objects yes, communication parameters no (the reader keeps the
// flag as the file's text).
const mappable = (o) => Number(o.pdoMapping) === 1;
assert.equal(mappable(eds.getEntry(0x1001)), true);
assert.equal(mappable(eds.getEntry(0x6060)), true);
assert.equal(mappable(eds.getSubEntry(0x1010, 1)), false);
assert.equal(mappable(eds.getSubEntry(0x1600, 1)), false);

// No PDO is configured in the image.
assert.equal(eds.getTransmitPdos().length, 0);
assert.equal(eds.getReceivePdos().length, 0);

console.log('EDS read by the canopen package: all checks passed');
