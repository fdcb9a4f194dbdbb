#include "sim/options.h"

#include <charconv>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>

#include "sim/faults.h"

namespace pemra_sim {

namespace {

constexpr char usage[] = R"(Usage: pemra_sim [OPTION...]

A stand-in for BlueZ with Pemra readers, for testing the Pemra driver
without Bluetooth. It owns "org.bluez" on a bus and shows BlueZ's objects:
"/" (org.freedesktop.DBus.ObjectManager), adapters "/org/bluez/hciN"
(org.bluez.Adapter1, org.bluez.GattManager1) and per reader a device
(org.bluez.Device1), the Pemra GATT service (org.bluez.GattService1) and
characteristics 1 to 9 (org.bluez.GattCharacteristic1). By default: one
adapter and one connected, paired, resolved reader with a card.

Options:
  --bus ADDRESS        serve on the bus at ADDRESS (default: the system bus,
                       that is DBUS_SYSTEM_BUS_ADDRESS when it is set)
  --adapters N         adapters at start, hci0 to hciN-1 (default 1)
  --readers N          readers at start, all on hci0 (default 1)
  --notify-size N      bytes per notification, prefix byte included, 20 to
                       256 (default 20); larger values model a larger MTU
  --message-size N     the readers' message size, answered to the
                       buffer-size request, 16 to 65535 (default 1024)
  --key-store DIR      keep the readers' long-term keys in DIR, one file
                       DIR/<reader address>/<adapter address> each, so that
                       they outlive the program (default: memory only)
  --vicc-port PORT     the first reader's card is vsmartcard's vicc, which
                       connects to 127.0.0.1:PORT as to vpcd (vicc -t
                       iso7816 -H 127.0.0.1 -P PORT); present while connected
  --no-card            readers start without a card
  --disconnected       readers start disconnected
  --unpaired           readers start unpaired
  --unresolved         readers start with ServicesResolved false
  --status-readable    characteristic 8 of the readers can be read too
                       (flags read and notify): its value is the card status
  --status-at-switch-on  readers report their card status only when the
                       host switches their notifications of 8 on from off,
                       as a reader built on BlueZ does: they keep the
                       switch per host across link losses, and hear nothing
                       when bluetoothd re-enables kept sessions
  --log-capacity N     log entries kept for GetLog (default 100000)
  --verbose            print every log entry on standard output
  --peripheral         be a reader beside a real bluetoothd instead (below)
  --name NAME          with --peripheral: the name it advertises (default Pemra)
  --help               print this text

With --peripheral, pemra_sim is one Pemra reader on the system bus of a
machine whose own bluetoothd owns "org.bluez": it makes the first adapter
that can advertise powered, pairable and discoverable, registers the Pemra
GATT service (GattManager1.RegisterApplication, root "/"), a connectable
advertisement of the service's UUID and its name, and an agent
(NoInputNoOutput) that accepts every pairing and authorisation, as a
reader's firmware does. A host pairs with it and talks to it over the radio;
the reader is the one described below, built on BlueZ: it hears StartNotify
only when the host's switch of notifications turns on from off, and it
notifies as much as the MTU that bluetoothd reports with each request lets
it (log event notify-size), up to 256 bytes. Its options: --bus, --name,
--message-size, --key-store (the keys of hosts, under the adapter's
address), --no-card, --status-readable, --log-capacity, --verbose. Its
control interface is the same object under the name com.tarvenk.PemraSim
(which the bus's policy must let it own), there once the reader
advertises. At SIGTERM or SIGINT the reader switches off: it stops
advertising and drops the link, then leaves the bus. It takes any device path and offers SetConnected (false: it
stops advertising and disconnects the host; true: it advertises again, and
the host connects by itself), InsertCard, RemoveCard, SetCardStatus,
SetFault and ClearFaults (those the reader acts on; the ones of BlueZ's
GATT calls and link are the real bluetoothd's business), ForgetKeys,
GetLog, ClearLog and GetCounters. Its log has the reader's events below,
with the adapter path as source, and connected / disconnected (detail: the
host's address), drop-link / advertise (SetConnected), advertisement, agent
(the agent's requests), peripheral (its set-up steps) and notify-size.

Control interface com.tarvenk.PemraSim1 at /sim (same bus, name org.bluez);
errors come as com.tarvenk.PemraSim1.Error.Failed:
  AddAdapter() -> o                  a new adapter hciN (InterfacesAdded)
  RemoveAdapter(o adapter)           its readers, then itself
  AddReader(o adapter, a{sv} options) -> o device
      options: address s, name s, connected b, paired b,
      services-resolved b, card b, notify-size u, message-size u,
      omit-characteristics ay (numbers the service lacks),
      uppercase-characteristics ay (numbers whose UUID is in capitals),
      foreign-service b (a second service, of another UUID, whose
      characteristics carry the Pemra UUIDs; calls on them fail and are
      logged as foreign-call), status-readable b, status-at-switch-on b
      (as the options of the same names)
  RemoveReader(o device)             disconnects, then InterfacesRemoved
  ListReaders() -> ao
  SetConnected(o device, b)          true: Connected true alone, then the
                                     kept notification sessions enabled
                                     again (the reader reports its card
                                     status), then ServicesResolved true;
                                     false: both false in one signal,
                                     sessions kept, session key and card
                                     power gone
  SetPaired(o device, b)             Paired and Bonded
  SetServicesResolved(o device, b)
  InsertCard(o device)               card status 06, notified on 8
  RemoveCard(o device)               card status 02, notified on 8
  SetCardStatus(o device, y status)  any status byte, notified on 8
  SetNotifySize(o device, u size)
  SetProperties(o object, s interface, a{sv} values)
                                     stores the values, of any type, on any
                                     object of the tree and announces them
                                     all in one PropertiesChanged; values of
                                     an unexpected type read as false, 0 or
                                     empty for the stand-in itself
  SetFault(o object, s name, i value)  see the faults below; the object
                                     is a reader's device, or "/" for the
                                     faults of BlueZ itself ("on /")
  ClearFaults(o object)
  ForgetKeys(o device)               the reader forgets its long-term keys
  GetLog() -> a(sssay)               (event, source, detail, data) entries
  ClearLog()                         entries and counters
  GetCounters() -> a{st}             entries per event, never dropped
  GetApplications() -> a(osob)       (adapter, sender, application, whether
                                     a GATT profile names the Pemra service)

Log events (source is the device path unless said otherwise):
  write N / read N / start-notify N / stop-notify N    GATT calls
  indication 9        writes on characteristic 9 (07, 08, 01 00)
  message short|long  a request assembled from the writes
  notify 4|8          notifications sent
  key-exchange / session-key  (detail: adapter address of the host)
  request / reply     plaintext of each request and reply (detail: encrypted
                      or plain)
  decrypt-failure     a frame that did not open (detail: tag or
                      no session key)
  silent / fault / framing-error / connected / disconnected / card-status /
  forget-keys / device-call / foreign-call
  register-application / unregister-application / application-read
                      (source: the adapter path)
  release             a Release call on a GATT profile (source: the adapter
                      path; detail: sender, profile path, then "ok" or
                      "failed: " and the error)
  att-timeout         a request left unanswered dropped the link

As bluetoothd 5.66 does:
  - Notification sessions belong to the D-Bus client (unique name) that
    called StartNotify; Notifying is true while any client holds one. A
    session ends with the client's StopNotify or when the client leaves the
    bus. A link loss keeps the sessions; the next connection enables them
    again before ServicesResolved turns true. A second StartNotify from a
    client answers at once while its session is enabled (no write to the
    reader, so no new card status), org.bluez.Error.InProgress before;
    StartNotify while disconnected succeeds and waits for the connection.
  - Each notification comes as one Value PropertiesChanged per session:
    twice, back to back, with two subscribed clients. Value keeps the last
    notified value, across link losses too.
  - WriteValue: a Write Request when the characteristic has "write" and the
    value fits MTU - 3 (the notify size), a long write (Prepare Writes of
    MTU - 5 bytes, then Execute Write) above that, a Write Command
    (answered once queued) with "write-without-response" only. A second
    Write Request on a characteristic whose first is outstanding fails with
    org.bluez.Error.InProgress. Flags: 1, 2, 7 "write"; 3, 5, 6 "read"; 4, 8
    "notify"; 9 "write-without-response".
  - Errors: org.bluez.Error.Failed "Not connected" for reads and writes
    while disconnected and for calls whose link is lost; NotSupported
    without the flag; ATT errors as Failed "Operation failed with ATT
    error: 0x..". A request unanswered for 30 s (att-timeout-ms) drops the
    link. Service and characteristic objects stay across link losses.
  - RegisterApplication reads the application back and answers; the same
    sender and path twice on an adapter is org.bluez.Error.AlreadyExists.
    Release (org.bluez.GattProfile1) goes to the application's profiles at
    UnregisterApplication, at a registration that fails after the read, at
    RemoveAdapter and at SIGTERM or SIGINT, before the stand-in leaves the
    bus.

The reader: replies come as notifications of 20 bytes (--notify-size), a
prefix byte (the fragment index) and fragment data; the reply header is
total length (2 bytes, little-endian), 00, fragment size. Card status on
characteristic 8: 01 06 card present, 01 02 no card, sent when the host
enables its notifications and when it changes. Unencrypted requests other
than 03 and A0 are answered FF (see plain-reply-bytes). Encrypted requests: 01 descriptor
(MAC, Serial, Name, Firmware), 02 01 reset, 02 04 shutdown, 02 05 APDU,
04 host name, 0A time, 10 message size; vendor messages 7E (answer: 00 and
the whole message reversed) and 7F (answer: FF); anything else FF. Card
failures: 01 no card, 02 not powered; 0B a request too long. The long-term
key is kept per host (adapter address); without one, the session-key
request is answered 01. The card: MF 3F00, EF.DIR 2F00, DF 5000 (AID
F050454D524153494D) with EF 5001 (300 bytes i mod 256) and EF 5002 (after
VERIFY 00 20 00 81 with PIN "123456"); SELECT, READ BINARY, GET CHALLENGE,
VERIFY, ECHO 80 EE 00 00.

Faults for SetFault (counted ones fire on the next N occasions, -1: always):
)";

using Setter = std::function<void(Options &, const std::string &)>;

unsigned number(const std::string &text, const std::string &option)
{
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        throw std::invalid_argument(option + " needs a number, not '" + text + "'");
    return value;
}

const std::map<std::string, Setter> &valued_options()
{
    static const std::map<std::string, Setter> options{
        {"--bus", [](Options &o, const std::string &v) { o.bus = v; }},
        {"--adapters", [](Options &o, const std::string &v) { o.adapters = number(v, "--adapters"); }},
        {"--readers", [](Options &o, const std::string &v) { o.readers = number(v, "--readers"); }},
        {"--notify-size", [](Options &o, const std::string &v) { o.reader.notify_size = number(v, "--notify-size"); }},
        {"--message-size",
         [](Options &o, const std::string &v) { o.reader.message_size = number(v, "--message-size"); }},
        {"--key-store", [](Options &o, const std::string &v) { o.key_store = v; }},
        {"--name", [](Options &o, const std::string &v) { o.reader.name = v; }},
        {"--log-capacity", [](Options &o, const std::string &v) { o.log_capacity = number(v, "--log-capacity"); }},
        {"--vicc-port", [](Options &o, const std::string &v) { o.vicc_port = number(v, "--vicc-port"); }},
    };
    return options;
}

const std::map<std::string, std::function<void(Options &)>> &flags()
{
    static const std::map<std::string, std::function<void(Options &)>> flags{
        {"--no-card", [](Options &o) { o.reader.card = false; }},
        {"--disconnected", [](Options &o) { o.reader.link.connected = false; }},
        {"--unpaired", [](Options &o) { o.reader.link.paired = false; }},
        {"--unresolved", [](Options &o) { o.reader.link.services_resolved = false; }},
        {"--status-readable", [](Options &o) { o.reader.layout.status_readable = true; }},
        {"--status-at-switch-on", [](Options &o) { o.reader.status_at_switch_on = true; }},
        {"--verbose", [](Options &o) { o.verbose = true; }},
        {"--peripheral", [](Options &o) { o.peripheral = true; }},
        {"--help", [](Options &o) { o.help = true; }},
    };
    return flags;
}

// What a reader beside a real bluetoothd does not have: BlueZ's state and
// the scenario are the real bluetoothd's, the MTU sets the notify size.
const std::set<std::string> stand_in_only{"--adapters",     "--readers",    "--notify-size",
                                          "--vicc-port",    "--disconnected", "--unpaired",
                                          "--unresolved",   "--status-at-switch-on"};

void check_mode(const Options &options, const std::set<std::string> &given)
{
    for (const auto &option : given) {
        if (options.peripheral && stand_in_only.contains(option))
            throw std::invalid_argument(option + " does not go with --peripheral");
        if (!options.peripheral && option == "--name")
            throw std::invalid_argument("--name goes with --peripheral only");
    }
}

} // namespace

Options parse_options(const std::vector<std::string> &arguments)
{
    Options options;
    std::set<std::string> given(arguments.begin(), arguments.end());
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if (const auto flag = flags().find(argument); flag != flags().end()) {
            flag->second(options);
            continue;
        }
        const auto valued = valued_options().find(argument);
        if (valued == valued_options().end())
            throw std::invalid_argument("unknown option " + argument);
        if (i + 1 == arguments.size())
            throw std::invalid_argument(argument + " needs a value");
        valued->second(options, arguments[++i]);
    }
    if (const std::string problem = size_problem(options.reader); !problem.empty())
        throw std::invalid_argument(problem);
    if (options.readers > 0 && options.adapters == 0)
        throw std::invalid_argument("readers need an adapter");
    if (options.vicc_port > 0xFFFF || (options.vicc_port != 0 && options.readers == 0))
        throw std::invalid_argument("--vicc-port needs a port number and a reader");
    check_mode(options, given);
    if (options.peripheral && options.reader.name.empty())
        options.reader.name = "Pemra";
    return options;
}

std::string help_text()
{
    std::string text = usage;
    for (const auto &fault : fault_table())
        text += "  " + std::string(fault.name) + "\n      " + std::string(fault.help) + "\n";
    return text;
}

} // namespace pemra_sim
