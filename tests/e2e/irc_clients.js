// Two real IRC clients for the end-to-end test: alice registers through Kelvox,
// bob connects to the IRC server directly. They meet in a channel and talk both
// ways; then alice stays idle past the server's ping timeout, which only a
// bouncer that answers the server's PINGs survives. Exits 0 when all held.
//
//   node irc_clients.js KELVOX_PORT IRCD_PORT IDLE_SECONDS
'use strict';
const IRC = require('irc-framework');

const [kelvoxPort, ircdPort, idleSeconds] = process.argv.slice(2).map(Number);
const channel = '#kelvox';
const log = (...words) => console.log(...words);
const fail = (why) => {
  log('FAIL:', why);
  process.exit(1);
};
setTimeout(() => fail('took too long'), (idleSeconds + 40) * 1000);

const options = (nick, port) => ({
  host: '127.0.0.1', port, nick, username: nick, gecos: nick,
  auto_reconnect: false, ping_interval: 3600, ping_timeout: 7200,
});

let pingsSeenByAlice = 0;
let bobJoined = false;
let aliceJoined = false;
let started = false;
const bob = new IRC.Client();
const alice = new IRC.Client();

const start = () => {
  if (!bobJoined || !aliceJoined || started) return;
  started = true;
  log('both in', channel);
  alice.say(channel, 'hello from alice');
};

bob.on('registered', () => bob.join(channel));
bob.on('join', (e) => {
  if (e.nick === 'bob') bobJoined = true;
  start();
});
bob.on('message', (e) => {
  if (e.nick !== 'alice') return;
  log('bob got:', e.message);
  if (e.message === 'hello from alice') bob.say(channel, 'hello back from bob');
  if (e.message === 'still here') {
    if (pingsSeenByAlice > 0) fail(`alice saw ${pingsSeenByAlice} PINGs`);
    log('OK');
    process.exit(0);
  }
});

alice.on('socket connected', () => alice.raw(`CONN 127.0.0.1:${ircdPort}`));
alice.on('raw', (e) => {
  if (e.from_server && /^(:\S+ )?PING\b/i.test(e.line)) pingsSeenByAlice += 1;
});
alice.on('registered', () => alice.join(channel));
alice.on('join', (e) => {
  if (e.nick === 'alice') aliceJoined = true;
  start();
});
alice.on('message', (e) => {
  if (e.nick !== 'bob') return;
  log('alice got:', e.message);
  if (e.message !== 'hello back from bob') return;
  // Silence from alice now: the server pings her and gives up unless answered.
  log(`alice idle for ${idleSeconds} s`);
  setTimeout(() => alice.say(channel, 'still here'), idleSeconds * 1000);
});
alice.on('close', () => fail('alice was disconnected'));

bob.connect(options('bob', ircdPort));
alice.connect(options('alice', kelvoxPort));
