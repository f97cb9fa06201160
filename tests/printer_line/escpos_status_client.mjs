// Asks the printer on 127.0.0.1:<port> for its status with @node-escpos's own status call,
// getStatuses() (DLE EOT 1, 4, 2 and 3), as an app built on that library does, and prints
// what the library made of the answers as JSON.
import { Printer } from '@node-escpos/core';
import Network from '@node-escpos/network-adapter';

const port = Number(process.argv[2]);
const device = new Network('127.0.0.1', port, 5000);
device.open(async (error) => {
    if (error) {
        console.log(JSON.stringify({ error: String(error) }));
        process.exit(2);
    }
    const printer = new Printer(device, {});
    const timeout = new Promise((_, reject) => setTimeout(() => reject(new Error('no answer')), 3000));
    try {
        const statuses = await Promise.race([printer.getStatuses(), timeout]);
        console.log(JSON.stringify(statuses.map((status) => {
            const json = status.toJSON();
            return {
                className: json.className,
                byte: json.byte,
                errors: json.statuses.filter((s) => s.status !== 'ok').map((s) => s.label),
            };
        })));
    } catch (e) {
        console.log(JSON.stringify({ error: String(e ?? 'fewer than four status bytes') }));
    }
    device.close();
    process.exit(0);
});
