// Writes the receipts of this folder: <name>.bin, the bytes a terminal sends, made by
// ESC/POS generators written elsewhere (receiptline, @point-of-sale/receipt-printer-encoder),
// and <name>.expected, the lines a DVR shows for them with the options in README.md.
// The expected lines are written out below by hand, beside the document they come from.
//
//   NODE_PATH=/tmp/corpus-gen/node_modules node tests/pos/data/make-corpus.mjs
//
// The packages are looked up in NODE_PATH, so they stay out of the repository.

import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

if (!process.env.NODE_PATH) {
    console.error('make-corpus: set NODE_PATH to the node_modules folder holding the generators');
    process.exit(2);
}
const require = createRequire(path.join(path.resolve(process.env.NODE_PATH), 'resolve.js'));
const receiptline = require('receiptline');
const { PNG } = require('pngjs');
const encoderModule = require('@point-of-sale/receipt-printer-encoder');
const ReceiptPrinterEncoder = encoderModule.default || encoderModule;

const here = path.dirname(fileURLToPath(import.meta.url));

// The numbers the receipts hold, checked here so that an edit cannot turn a number that
// is meant to stay into a card number by accident, or break a card number.
function luhn(text) {
    const digits = text.replace(/[ -]/g, '');
    let sum = 0;
    for (let i = 0; i < digits.length; i++) {
        let d = Number(digits[digits.length - 1 - i]);
        if (i % 2 === 1) {
            d = d * 2 > 9 ? d * 2 - 9 : d * 2;
        }
        sum += d;
    }
    return sum % 10 === 0;
}
const cards = ['4111 1111 1111 1111', '5555-5555-5555-4444', '3782 822463 10005',
    '6011111111111117', '4000 1234 5678 9012 343'];
const notCards = ['2024031514223301', '4006381333931', '0041441234567', '90210456712345679'];
for (const n of cards) {
    if (!luhn(n)) throw new Error(`${n} should pass the Luhn check`);
}
for (const n of notCards) {
    if (luhn(n)) throw new Error(`${n} should fail the Luhn check`);
}

// A checkerboard, so that image bytes take every value a filter might trip over.
function pixels(width, height, square) {
    const data = new Uint8ClampedArray(width * height * 4);
    for (let y = 0; y < height; y++) {
        for (let x = 0; x < width; x++) {
            const i = (y * width + x) * 4;
            const v = (Math.floor(x / square) + Math.floor(y / square) + (x ^ y) % 3) % 2 ? 255 : 0;
            data[i] = data[i + 1] = data[i + 2] = v;
            data[i + 3] = 255;
        }
    }
    return { data, width, height };
}

function png(width, height, square) {
    const image = new PNG({ width, height });
    image.data.set(pixels(width, height, square).data);
    return PNG.sync.write(image).toString('base64');
}

const receipts = [];

// receiptline's thermal printers: logo and QR code as GS 8 L graphics, EAN-13 with
// GS k, rules in the Katakana table (ESC t 1, its box-drawing 0x95), text in PC858
// (ESC t 19), GS V cut.
receipts.push({
    name: 'receiptline-cafe',
    bytes: receiptline.transform(`{image:${png(160, 64, 8)}}
^^Café Zürich
Bahnhofstrasse 1, 8001 Zürich
Tel. +41 44 123 45 67
---
{width:*,10}
Croissant | €2.50
Café crème | €4.80
Apfelstrudel mit Sahne | €6.20
---
TOTAL | €13.50
{width:auto}
Visa 4111 1111 1111 1111
Beleg-Nr. 2024031514223301
15.03.2024 14:22
{code:https://example.com/r/7731; option:qrcode,4,m}
{code:4006381333931; option:ean,hri}
Merci et à bientôt!
=`, { cpl: 42, encoding: 'cp858', command: 'escpos' }),
    expected: [
        'Café Zürich',
        'Bahnhofstrasse 1, 8001 Zürich',
        'Tel. +41 44 123 45 67',
        '─'.repeat(42),
        'Croissant €2.50',
        'Café crème €4.80',
        'Apfelstrudel mit Sahne €6.20',
        '─'.repeat(42),
        'TOTAL €13.50',
        'Visa 4111 11** **** 1111',
        'Beleg-Nr. 2024031514223301',
        '15.03.2024 14:22',
        'Merci et à bientôt!',
    ],
});

// receiptline's generic printers: GS v 0 raster images, text in WPC1252 (ESC t 16),
// which the channel does not name but the stream selects; rules in the Katakana table.
receipts.push({
    name: 'receiptline-generic-raster',
    bytes: receiptline.transform(`{image:${png(256, 120, 12)}}
"Boulangerie Lefèvre"
12 rue de la Paix, 75002 Paris
---
{width:*,12}
Baguette tradition | €1,30
Pain au chocolat ×2 | €2,60
---
Mastercard 5555-5555-5555-4444
Autorisation 004144
Terminal 90210456712345679
{code:https://example.com/fr/8842; option:qrcode,3,l}
Au revoir — à demain`, { cpl: 48, encoding: 'cp1252', command: 'generic' }),
    expected: [
        'Boulangerie Lefèvre',
        '12 rue de la Paix, 75002 Paris',
        '─'.repeat(48),
        'Baguette tradition €1,30',
        'Pain au chocolat ×2 €2,60',
        '─'.repeat(48),
        'Mastercard 5555-55**-****-4444',
        'Autorisation 004144',
        'Terminal 90210456712345679',
        'Au revoir — à demain',
    ],
});

// receiptline's "multilingual" text: it picks a table per character and switches
// with ESC t n inside a line (PC437, PC852, PC858, PC866, WPC1252).
receipts.push({
    name: 'receiptline-multilingual',
    bytes: receiptline.transform(`Sklep Łódź — Магазин — Geschäft
Żółć 3 × 2,50 zł
Квас 1 × 95 ₽
Grüße aus Köln, ½ Preis
Karte 4000 1234 5678 9012 343
Kasse 0041441234567
=`, { cpl: 42, encoding: 'multilingual', command: 'escpos' }),
    expected: [
        'Sklep Łódź — Магазин — Geschäft',
        'Żółć 3 × 2,50 zł',
        'Квас 1 × 95 ?',
        'Grüße aus Köln, ½ Preis',
        'Karte 4000 12** **** ***2 343',
        'Kasse 0041441234567',
    ],
});

// receiptline's impact printers: ESC * column images and ESC J feeds between strips;
// alignment by blanks, which stay.
receipts.push({
    name: 'receiptline-impact',
    bytes: receiptline.transform(`{image:${png(96, 48, 6)}}
Kiosk am Markt
Zeitung | €2,20
Discover 6011111111111117 gültig 12/27
Danke`, { cpl: 40, encoding: 'cp858', command: 'impact' }),
    expected: [
        ' '.repeat(13) + 'Kiosk am Markt',
        'Zeitung' + ' '.repeat(28) + '€2,20',
        ' Discover 601111******1117 gültig 12/27',
        ' '.repeat(18) + 'Danke',
    ],
});

// receipt-printer-encoder: GS ( k QR code and PDF417, GS k barcode, a GS v 0 image of
// about 30 KB, a drawer pulse (ESC p) and a partial cut; lines end in LF CR.
{
    const encoder = new ReceiptPrinterEncoder({ language: 'esc-pos', columns: 42, imageMode: 'raster' });
    const bytes = encoder.initialize().codepage('cp858')
        .align('center').image(pixels(512, 480, 16), 512, 480, 'threshold').newline()
        .bold(true).line('Bäckerei Müller').bold(false)
        .line('Grüner Weg 5, 1010 Wien')
        .align('left')
        .table([{ width: 30, align: 'left' }, { width: 12, align: 'right' }],
            [['Semmel x3', '€1,35'], ['Kaffee groß', '€3,90']])
        .line('AMEX 3782 822463 10005')
        .line('Bon 4006381333931 Tel. 0041 44 123 45 67')
        .qrcode('https://example.com/receipt/4711', { model: 2, size: 6, errorlevel: 'm' })
        .pdf417('RCPT-2024-000123-4111111111111111', {})
        .barcode('4006381333931', 'ean13', 60)
        .pulse().cut('partial').encode();
    receipts.push({
        name: 'encoder-raster-qr',
        bytes: Buffer.from(bytes),
        expected: [
            ' '.repeat(13) + 'Bäckerei Müller',
            ' '.repeat(9) + 'Grüner Weg 5, 1010 Wien',
            'Semmel x3' + ' '.repeat(28) + '€1,35',
            'Kaffee groß' + ' '.repeat(26) + '€3,90',
            'AMEX 3782 82**** *0005',
            'Bon 4006381333931 Tel. 0041 44 123 45 67',
        ],
    });
}

// receipt-printer-encoder choosing tables itself (ESC t 0, 19, 11, 17 within lines):
// Greek and Russian beside Latin text, ESC * column images, a rule in PC437.
{
    const encoder = new ReceiptPrinterEncoder({
        language: 'esc-pos', columns: 32, imageMode: 'column',
        codepageCandidates: ['cp437', 'cp858', 'cp851', 'cp866'],
    });
    const bytes = encoder.initialize().codepage('auto')
        .image(pixels(64, 48, 4), 64, 48, 'threshold')
        .line('Ταβέρνα Ωμέγα / Таверна')
        .rule()
        .line('Σουβλάκι 2 × €3,50')
        .line('Борщ 1 × €4,20')
        .line('VISA 4111111111111111 12/27')
        .cut().encode();
    receipts.push({
        name: 'encoder-codepage-auto',
        bytes: Buffer.from(bytes),
        expected: [
            'Ταβέρνα Ωμέγα / Таверна',
            '────────────────────────────────',
            'Σουβλάκι 2 × €3,50',
            'Борщ 1 × €4,20',
            'VISA 411111******1111 12/27',
        ],
    });
}

// Star printers, in tests/pos/data/star: the same checks with FILTER=star.
const starReceipts = [];

// receipt-printer-encoder in Star Line mode (TSP650II and the like): ESC X column images,
// emphasis, underline and size, ESC b barcode, ESC GS y QR code, a drawer pulse and a cut,
// text in PC858 (ESC GS t 4).
{
    const encoder = new ReceiptPrinterEncoder({ language: 'star-line', columns: 48 });
    const bytes = encoder.initialize().codepage('cp858')
        .align('center').image(pixels(96, 48, 6), 96, 48, 'threshold').newline()
        .size(2, 2).line('Café Zürich').size(1, 1)
        .bold(true).line('TOTAL €9.50').bold(false)
        .underline(true).line('Visa 4111 1111 1111 1111').underline(false)
        .align('left')
        .line('Beleg-Nr. 2024031514223301')
        .barcode('4006381333931', 'ean13', 60)
        .qrcode('https://example.com/r/7731', { model: 2, size: 6, errorlevel: 'm' })
        .pulse().cut('partial').encode();
    starReceipts.push({
        name: 'encoder-star-line',
        bytes: Buffer.from(bytes),
        expected: [
            ' '.repeat(13) + 'Café Zürich',
            ' '.repeat(18) + 'TOTAL €9.50',
            ' '.repeat(12) + 'Visa 4111 11** **** 1111',
            'Beleg-Nr. 2024031514223301',
        ],
    });
}

// receipt-printer-encoder in StarPRNT (mC-Print3, TSP100IV): tables chosen per character
// by Star's numbering (ESC GS t 32, 10, 1), a rule, a table, PDF417 and a QR code.
{
    const encoder = new ReceiptPrinterEncoder({
        language: 'star-prnt', columns: 48,
        codepageCandidates: ['cp437', 'cp858', 'windows1252', 'cp866'],
    });
    const bytes = encoder.initialize().codepage('auto')
        .line('Bäckerei Müller — Пекарня')
        .rule()
        .table([{ width: 36, align: 'left' }, { width: 12, align: 'right' }],
            [['Semmel x3', '€1,35'], ['Хлеб', '€2,10']])
        .line('MC 5555-5555-5555-4444')
        .line('Tel. 0041 44 123 45 67')
        .pdf417('RCPT-2024-000123', {})
        .qrcode('https://example.com/receipt/4711', { model: 2, size: 4, errorlevel: 'l' })
        .cut().encode();
    starReceipts.push({
        name: 'encoder-starprnt',
        bytes: Buffer.from(bytes),
        expected: [
            'Bäckerei Müller — Пекарня',
            '─'.repeat(48),
            'Semmel x3' + ' '.repeat(34) + '€1,35',
            'Хлеб' + ' '.repeat(39) + '€2,10',
            'MC 5555-55**-****-4444',
            'Tel. 0041 44 123 45 67',
        ],
    });
}

// receiptline's Star Line mode printers (its "starsbcs" command set): raster logo, QR code,
// barcode, rules in Star's Katakana table, columns set apart by ESC GS A, text in PC858.
starReceipts.push({
    name: 'receiptline-star',
    bytes: receiptline.transform(`{image:${png(128, 48, 8)}}
^^Kiosk am Markt
---
{width:*,10}
Zeitung | €2,20
Kaffee | €3,10
---
Discover 6011111111111117 gültig 12/27
{code:https://example.com/k/12; option:qrcode,4,m}
{code:4006381333931; option:ean,hri}
Danke`, { cpl: 48, encoding: 'cp858', command: 'starsbcs' }),
    expected: [
        'Kiosk am Markt',
        '─'.repeat(48),
        'Zeitung €2,20',
        'Kaffee €3,10',
        '─'.repeat(48),
        // receiptline wraps the line in the table's first column.
        'Discover 601111******1117 gültig 12/2',
        '7',
        'Danke',
    ],
});

fs.mkdirSync(path.join(here, 'star'), { recursive: true });
for (const receipt of starReceipts) {
    receipt.folder = 'star';
}
receipts.push(...starReceipts);

for (const receipt of receipts) {
    const bytes = typeof receipt.bytes === 'string' ? Buffer.from(receipt.bytes, 'binary') : receipt.bytes;
    const folder = path.join(here, receipt.folder || '');
    fs.writeFileSync(path.join(folder, `${receipt.name}.bin`), bytes);
    fs.writeFileSync(path.join(folder, `${receipt.name}.expected`), receipt.expected.join('\n') + '\n');
    console.log(`${receipt.name}: ${bytes.length} bytes, ${receipt.expected.length} lines`);
}
