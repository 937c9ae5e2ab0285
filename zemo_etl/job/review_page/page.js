"use strict";
// The review page: everything it shows comes from the JSON block #data.
// Names are untrusted: they reach the document only as text nodes.
(function () {
  var DATA = JSON.parse(document.getElementById("data").textContent);
  var ROWS = DATA.rows;
  var TH = DATA.thresholds;
  var MEASURES = [["s1", "token set", "token_set_keep"], ["s2", "token sort", "token_sort_keep"],
                  ["s3", "two-stage", "two_stage_keep"]];
  var PAGE = 100;
  var SVG = "http://www.w3.org/2000/svg";
  var choices = new Map();  // row number -> "keep" | "prune"
  var state = { sort: null, desc: false, page: 0, shown: [] };

  function $(id) { return document.getElementById(id); }
  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined && text !== null) e.textContent = String(text);
    return e;
  }
  function svg(tag, attrs) {
    var e = document.createElementNS(SVG, tag);
    Object.keys(attrs || {}).forEach(function (k) { e.setAttribute(k, attrs[k]); });
    return e;
  }
  function fmt(x) { return (Math.round(x * 10000) / 10000).toString(); }

  // Every release, listed or not (DATA.records, the listed rows' first: page.py's _record): its decision,
  // flags, the least (s) and most (m) each best score can be, and what bounds it (k: page.py's kind twice,
  // plus 1 where a reason rounds the score up, plus 16 where it rounds a bound of its own up).
  var DECISIONS = ["keep", "prune", "review"];
  var EXACT = 1, NUMBERS = 2, CHOSEN = 4, BOUNDED = 8;
  var SPAN = 10001, K_EXACT = 0, K_OPEN = 1, K_THRESHOLD = 2, K_GIVEN = K_THRESHOLD + DATA.bounds.length;
  var ALL = (function () {
    var packed = DATA.records, n = ROWS.length + DATA.unlisted;
    var all = { n: n, d: new Uint8Array(n), flags: new Uint8Array(n),
                s: [new Float64Array(n), new Float64Array(n), new Float64Array(n)],
                m: [new Float64Array(n), new Float64Array(n), new Float64Array(n)],
                k: [new Uint8Array(n), new Uint8Array(n), new Uint8Array(n)] };
    var under = DATA.bounds.map(function (b) { return b[1] / 10000; });
    var digit = new Uint8Array(128);
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_".split("").forEach(function (c, v) {
      digit[c.charCodeAt(0)] = v;
    });
    function at(i) { return digit[packed.charCodeAt(i)]; }
    function value(i) { return at(i) * 4096 + at(i + 1) * 64 + at(i + 2); }
    for (var k = 0, i = 0; k < n; k++) {
      var code = at(i++);
      all.d[k] = code % 3;
      all.flags[k] = (code / 3) | 0;
      for (var j = 0; j < 3; j++) {
        var v = value(i), kind = (v / SPAN) | 0, s = (v % SPAN) / 10000, bound = kind >> 1;
        i += 3;
        all.s[j][k] = s;
        if (bound === K_EXACT) all.m[j][k] = s;
        else if (bound === K_OPEN) all.m[j][k] = 1;
        else if (bound < K_GIVEN) all.m[j][k] = Math.max(under[bound - K_THRESHOLD], s);
        else {
          v = value(i);
          i += 3;
          all.m[j][k] = (v % SPAN) / 10000;
          kind |= ((v / SPAN) | 0) << 4;
        }
        all.k[j][k] = kind;
      }
    }
    return all;
  })();
  function boundOf(i, j) { return (ALL.k[j][i] >> 1) & 7; }
  function bounded(i, j) { return boundOf(i, j) !== K_EXACT; }

  // n ten-thousandths as the reasons give a score: four decimals, trailing zeros cut down to two.
  function tenThousandths(n) {
    var s = Math.floor(n / 10000) + "." + String(n % 10000 + 10000).slice(1);
    while (s.length > 4 && s.charAt(s.length - 1) === "0" && s.charAt(s.length - 3) !== ".") s = s.slice(0, -1);
    return s;
  }

  // The reason the classifier gives for what listed row i holds, where the row leaves it out (page.py's
  // page_reason, step for step).
  function reasonOf(i) {
    var floorValue = TH.review_floor, floor = DATA.texts.review_floor;
    function below(j) {
      var b = boundOf(i, j);
      if (b === K_OPEN) return Infinity;
      if (b === K_GIVEN) return (Math.round(ALL.m[j][i] * 10000) + 1) / 10000;
      return TH[DATA.bounds[b - K_THRESHOLD][0]];
    }
    function reaches(j, t) {
      if (ALL.s[j][i] >= t) return 1;
      return boundOf(i, j) === K_EXACT || below(j) <= t ? 0 : -1;
    }
    function inBand(j, keep) {
      var f = reaches(j, floorValue), kept = reaches(j, keep);
      if (f === 0 || kept === 1) return 0;
      return f === 1 && kept === 0 ? 1 : -1;
    }
    function shown(j) {
      var k = ALL.k[j][i], b = boundOf(i, j), q = Math.round(ALL.s[j][i] * 10000) + (k & 1);
      var least = tenThousandths(q);
      if (b === K_EXACT) return least;
      if (b === K_OPEN) return q === 0 ? "not scored" : "at least " + least;
      var bound = b === K_GIVEN ? tenThousandths(Math.round(ALL.m[j][i] * 10000) + (k >> 4))
        : DATA.texts[DATA.bounds[b - K_THRESHOLD][0]];
      return (q === 0 ? "below " : least + " to below ") + bound;
    }
    function band(name, j, keep) {
      return name + " " + shown(j) + " in the review band [" + floor + ", " + DATA.texts[keep] + ")";
    }
    var setBand = inBand(0, TH.token_set_keep), sortBand = setBand === 0 ? inBand(1, TH.token_sort_keep) : 0;
    if (ALL.flags[i] & EXACT) return "exact pair in the library";
    if (setBand === 1) return band("token_set", 0, "token_set_keep");
    if (setBand === 0 && sortBand === 1) return band("token_sort", 1, "token_sort_keep");
    if (setBand === 0 && sortBand === 0) {
      if (reaches(0, TH.token_set_keep) === 1 && reaches(1, TH.token_sort_keep) === 1 &&
          reaches(2, TH.two_stage_keep) === 1) return "all three scores at or above their keep values";
      if (reaches(0, floorValue) === 0 && reaches(1, floorValue) === 0 && reaches(2, floorValue) === 0)
        return "all three scores below the review floor " + floor;
      if (inBand(2, TH.two_stage_keep) === 1) return band("two_stage", 2, "two_stage_keep");
    }
    return "token_set " + shown(0) + ", token_sort " + shown(1) + ", two_stage " + shown(2) +
      ": some at or above the review floor " + floor + ", not all at their keep values";
  }

  // A text field of listed row i written out (page.py's LISTED_FIELDS): a match form 0 is the given name in
  // lower case and 1 the name folded (page.py's _form_code), a library form 0 the release's and n
  // DATA.strings[n - 1], a reason 0 the one the scores give.
  var F = {};
  DATA.columns.forEach(function (name, k) { F[name] = k; });
  var SAME = { ma: "a", mt: "t", la: "ma", lt: "mt" };
  function form(i, v, same) { return v === 0 ? text(i, same) : DATA.strings[v - 1]; }
  function text(i, name) {
    var v = ROWS[i][F[name]];
    if (name === "reason") return v === 0 ? reasonOf(i) : v;
    if (name === "la" || name === "lt") return form(i, v, SAME[name]);
    if (v === 0) return ROWS[i][F[SAME[name]]].toLowerCase();
    return v === 1 ? ROWS[i][F[SAME[name]]].normalize("NFKD").replace(/[\u0300-\u036f]/g, "").toLowerCase() : v;
  }
  function decision(i) { return DECISIONS[ALL.d[i]]; }
  // The best entries of measures where they are others: [measures, artist, title] each.
  function others(i) {
    var r = ROWS[i], out = [];
    for (var p = DATA.columns.length; p < r.length; p += 3)
      out.push([DATA.measures[r[p]], form(i, r[p + 1], "ma"), form(i, r[p + 2], "mt")]);
    return out;
  }

  // The classifier's order of tests on three best scores, for other thresholds.
  function decideScores(flags, s1, s2, s3, th) {
    var floor = th.review_floor;
    if (s1 >= floor && s1 < th.token_set_keep) return 2;
    if (s2 >= floor && s2 < th.token_sort_keep) return 2;
    if (s1 >= th.token_set_keep && s2 >= th.token_sort_keep && s3 >= th.two_stage_keep)
      return flags & NUMBERS ? 2 : 0;
    if (s1 < floor && s2 < floor && s3 < floor) return 1;
    return 2;
  }

  // The decisions each release can have under thresholds th, as bits (1 << decision) in a Uint8Array: one
  // bit where its scores are exact or their bounds settle every comparison. Score j is compared with the
  // review floor and its keep value only; these cut the scores into three intervals, and a score's range
  // meets a run of them (first * 3 + last). The decisions of every such triple of runs are worked out once,
  // from a value of each interval met.
  function decideAll(th) {
    var keeps = [th.token_set_keep, th.token_sort_keep, th.two_stage_keep], floor = th.review_floor;
    var cuts = keeps.map(function (keep) { return [Math.min(floor, keep), Math.max(floor, keep)]; });
    var table = new Uint8Array(2 * 729);
    for (var numbers = 0; numbers < 2; numbers++)
      for (var c = 0; c < 729; c++) {
        var met = [(c / 81) | 0, ((c / 9) | 0) % 9, c % 9], values = [];
        var ok = met.every(function (run, j) {
          var first = (run / 3) | 0, last = run % 3, at = [-1, cuts[j][0], cuts[j][1]];
          values.push(at.slice(first, last + 1));
          return first <= last;
        });
        if (!ok) continue;
        var bits = 0, flags = numbers ? NUMBERS : 0;
        values[0].forEach(function (s1) {
          values[1].forEach(function (s2) {
            values[2].forEach(function (s3) { bits |= 1 << decideScores(flags, s1, s2, s3, th); });
          });
        });
        table[numbers * 729 + c] = bits;
      }
    var n = ALL.n, out = new Uint8Array(n), d = ALL.d, f = ALL.flags;
    var r0 = runs(0, cuts[0]), r1 = runs(1, cuts[1]), r2 = runs(2, cuts[2]);
    for (var k = 0; k < n; k++) {
      var flags = f[k];
      if (flags & CHOSEN) out[k] = 1 << d[k];
      else if (flags & EXACT) out[k] = 1;
      else out[k] = table[(flags & NUMBERS ? 729 : 0) + r0[k] * 81 + r1[k] * 9 + r2[k]];
    }
    return out;
  }

  // The run each release's score j meets of the intervals cut at a <= b, in a Uint8Array; those of the
  // first cuts asked (the page's thresholds) kept, as a moved keep value leaves the other scores' alone.
  var RUNS = [null, null, null];
  function runs(j, cut) {
    var a = cut[0], b = cut[1], kept = RUNS[j];
    if (kept && kept.a === a && kept.b === b) return kept.runs;
    var lo = ALL.s[j], hi = ALL.m[j], n = ALL.n, out = new Uint8Array(n);
    for (var k = 0; k < n; k++) out[k] = ((lo[k] >= a) + (lo[k] >= b)) * 3 + (hi[k] >= a) + (hi[k] >= b);
    if (!kept) RUNS[j] = { a: a, b: b, runs: out };
    return out;
  }

  function header() {
    $("source").textContent = DATA.source ? "from " + DATA.source : "";
    $("thresholds").textContent = "thresholds: keep " + TH.token_set_keep + " (token set), " + TH.token_sort_keep +
      " (token sort), " + TH.two_stage_keep + " (two-stage); artist gate " + TH.artist_gate + "; review floor " +
      TH.review_floor + (DATA.rules === "careful" ? "; careful rules" : DATA.distinct_numbers ? "; distinct numbers" : "");
  }

  function counts() {
    var c = [0, 0, 0];
    for (var k = 0; k < ALL.n; k++) c[ALL.d[k]] += 1;
    DECISIONS.forEach(function (d, j) { $("count-" + d).textContent = c[j].toLocaleString("en"); });
    $("count-total").textContent = ALL.n.toLocaleString("en");
    if (DATA.listed !== "all") {
      // Only the releases in review are listed: the other filters would show nothing.
      $("listed-note").textContent = "The list holds the " + c[2].toLocaleString("en") + " releases in review; the " +
        (c[0] + c[1]).toLocaleString("en") + " kept or pruned are in the counts, charts and table above only.";
      ["filter-keep", "filter-prune"].forEach(function (id) { $(id).disabled = true; });
    }
  }

  function histogram(j, label, keepName) {
    var bins = 20, w = 360, h = 130, left = 34, bottom = 20, top = 8;
    // Releases per bin and decision, and per pair of bins a range spans, counted in typed arrays.
    var scores = ALL.s[j], most = ALL.m[j], decided = ALL.d, n = ALL.n;
    var inBin = new Float64Array(bins * 3), spanned = new Float64Array(bins * bins), met = [];
    function binOf(s) { return Math.min(bins - 1, Math.floor(s * bins)); }
    for (var k = 0; k < n; k++) {
      var b0 = binOf(scores[k]), b1 = binOf(most[k]);
      if (b0 === b1) inBin[b0 * 3 + decided[k]] += 1;
      else if (spanned[b0 * bins + b1]++ === 0) met.push(b0 * bins + b1);
    }
    var stacks = [], spans = new Map();  // "first bin,last bin" -> releases, in the order first met
    for (var b = 0; b < bins; b++) stacks.push({ keep: inBin[b * 3], prune: inBin[b * 3 + 1], review: inBin[b * 3 + 2] });
    met.forEach(function (key) { spans.set(Math.floor(key / bins) + "," + key % bins, spanned[key]); });
    var tallest = 1;
    stacks.forEach(function (s) { tallest = Math.max(tallest, s.keep + s.prune + s.review); });
    var plotW = w - left - 6, plotH = h - top - bottom, bw = plotW / bins;
    var root = svg("svg", { width: w, height: h, viewBox: "0 0 " + w + " " + h, role: "img" });
    var title = svg("title");
    title.textContent = label + ": releases by best score";
    root.appendChild(title);
    stacks.forEach(function (s, b) {
      var y = top + plotH, y0 = 0;
      ["keep", "review", "prune"].forEach(function (d) {
        if (!s[d]) return;
        // Square-root heights: the few releases between the floor and a keep value stay visible
        // beside the many exact keeps and the prunes without a candidate.
        var bh = (Math.sqrt(y0 + s[d]) - Math.sqrt(y0)) / Math.sqrt(tallest) * plotH;
        y0 += s[d];
        y -= bh;
        var rect = svg("rect", { x: left + b * bw + 1, y: y, width: bw - 2, height: bh, "class": "bar-" + d });
        var tip = svg("title");
        tip.textContent = s[d] + " " + d + " with " + label + " in [" + fmt(b / bins) + ", " + fmt((b + 1) / bins) + ")";
        rect.appendChild(tip);
        root.appendChild(rect);
      });
    });
    root.appendChild(svg("line", { x1: left, y1: top + plotH, x2: left + plotW, y2: top + plotH, stroke: "#888" }));
    [0, 0.25, 0.5, 0.75, 1].forEach(function (t) {
      var tx = svg("text", { x: left + t * plotW, y: h - 6, "text-anchor": "middle" });
      tx.textContent = String(t);
      root.appendChild(tx);
    });
    var yl = svg("text", { x: left - 4, y: top + 8, "text-anchor": "end" });
    yl.textContent = tallest.toLocaleString("en");
    root.appendChild(yl);
    [[TH[keepName], "threshold", "keep " + TH[keepName]], [TH.review_floor, "threshold floor", "floor " + TH.review_floor]]
      .forEach(function (m) {
        var x = left + m[0] * plotW;
        root.appendChild(svg("line", { x1: x, y1: top, x2: x, y2: top + plotH, "class": m[1] }));
        var t = svg("text", { x: x + 3, y: top + 9 });
        t.textContent = m[2];
        root.appendChild(t);
      });
    var fig = el("figure");
    var caption = el("figcaption", null, label);
    caption.appendChild(el("small", null, " releases by best score (square-root scale)"));
    fig.appendChild(caption);
    fig.appendChild(root);
    // Releases whose score is known only to a range wider than a bar.
    if (spans.size) {
      var list = el("ul", "spans"), keys = Array.from(spans.keys());
      keys.sort(function (a, b) { return spans.get(b) - spans.get(a); });
      keys.slice(0, 4).forEach(function (key) {
        var ends = key.split(",").map(Number);
        list.appendChild(el("li", null, spans.get(key).toLocaleString("en") + " somewhere in [" + fmt(ends[0] / bins) +
          ", " + fmt(Math.min(1, (ends[1] + 1) / bins)) + (ends[1] + 1 >= bins ? "]" : ")") + ", not in the bars"));
      });
      if (keys.length > 4) {
        var rest = keys.slice(4).reduce(function (n, key) { return n + spans.get(key); }, 0);
        list.appendChild(el("li", null, rest.toLocaleString("en") + " more in " + (keys.length - 4) +
          " other ranges, not in the bars"));
      }
      fig.appendChild(list);
    }
    return fig;
  }

  function charts() {
    var box = $("charts");
    MEASURES.forEach(function (m, j) { box.appendChild(histogram(j, m[1], m[2])); });
  }

  // How many releases change decision with one threshold at `value`: a
  // range where some scores are known only to bounds that straddle it.
  function changes(name, value) {
    var th = Object.assign({}, TH);
    th[name] = value;
    var surely = 0, maybe = 0, moved = decideAll(th);
    for (var k = 0; k < ALL.n; k++) {
      var bits = moved[k];
      if (bits === BASE[k]) continue;
      if (bits & BASE[k]) maybe++;
      else surely++;
    }
    return maybe ? surely.toLocaleString("en") + "–" + (surely + maybe).toLocaleString("en") : surely.toLocaleString("en");
  }
  var BASE = null;

  function whatif() {
    // The table replays the standard rules from the best scores; the careful
    // rules decide on one entry's scores, which the page does not hold.
    if (DATA.rules === "careful") {
      $("whatif").hidden = true;
      return;
    }
    // The evidence settles every comparison with the thresholds themselves: one bit each.
    BASE = decideAll(TH);
    var body = $("whatif-table").tBodies[0];
    ["token_set_keep", "token_sort_keep", "two_stage_keep", "review_floor"].forEach(function (name) {
      var tr = el("tr");
      tr.appendChild(el("td", null, name.replace(/_/g, " ")));
      tr.appendChild(el("td", null, TH[name]));
      var slider = el("input");
      slider.type = "range"; slider.min = "0"; slider.max = "1"; slider.step = "0.01"; slider.value = String(TH[name]);
      slider.id = "try-" + name;
      var td = el("td"); td.appendChild(slider); tr.appendChild(td);
      var shownValue = el("td", null, TH[name]);
      var changed = el("td", null, "0");
      changed.id = "change-" + name;
      tr.appendChild(shownValue); tr.appendChild(changed);
      slider.addEventListener("input", function () {
        var v = Number(slider.value);
        shownValue.textContent = fmt(v);
        changed.textContent = changes(name, v);
      });
      [-0.1, -0.05, 0.05, 0.1].forEach(function (delta) {
        var v = Math.round((TH[name] + delta) * 100) / 100;
        tr.appendChild(el("td", null, v < 0 || v > 1 ? "–" : changes(name, v)));
      });
      body.appendChild(tr);
    });
  }

  // Characters of `a` outside a longest common subsequence with `b`, as a mask.
  function diffMask(a, b) {
    a = Array.from(a); b = Array.from(b);
    var n = a.length, m = b.length, mask = new Array(n).fill(true);
    if (n * m > 250000) return { chars: a, mask: mask.map(function (_, i) { return a[i] !== b[i]; }) };
    var L = [];
    for (var i = 0; i <= n; i++) L.push(new Uint16Array(m + 1));
    for (i = n - 1; i >= 0; i--)
      for (var j = m - 1; j >= 0; j--)
        L[i][j] = a[i] === b[j] ? L[i + 1][j + 1] + 1 : Math.max(L[i + 1][j], L[i][j + 1]);
    i = 0; j = 0;
    while (i < n && j < m) {
      if (a[i] === b[j]) { mask[i] = false; i++; j++; }
      else if (L[i + 1][j] >= L[i][j + 1]) i++;
      else j++;
    }
    return { chars: a, mask: mask };
  }

  function marked(text, other) {
    var span = el("span", "form");
    var d = diffMask(text, other);
    var chars = d.chars, mask = d.mask, run = "", runDiff = false;
    function flush() {
      if (!run) return;
      span.appendChild(runDiff ? el("span", "diff", run) : document.createTextNode(run));
      run = "";
    }
    chars.forEach(function (c, k) {
      if (mask[k] !== runDiff) { flush(); runDiff = mask[k]; }
      run += c;
    });
    flush();
    return span;
  }

  // A score as far as it is known: the number, or the range its bounds leave.
  function scoreText4(i, j) {
    var s = ALL.s[j][i];
    if (!bounded(i, j)) return fmt(s);
    var m = ALL.m[j][i];
    if (m >= 1) return s > 0 ? "≥ " + fmt(s) : "not scored";
    return (s > 0 ? fmt(s) + "–" : "≤ ") + fmt(m);
  }

  function scoreCell(i, j, keepName) {
    var s = ALL.s[j][i], m = ALL.m[j][i];
    var keep = TH[keepName], floor = TH.review_floor;
    // Only what the range settles: a bound that straddles a threshold says nothing of it.
    var cls = s >= keep ? "ok" : s >= floor && m < keep ? "band" : m < floor ? "low" : "open";
    var td = el("td", "score " + cls, scoreText4(i, j));
    td.appendChild(el("small", null, { ok: "≥ keep " + keep, band: "< keep " + keep, low: "< floor " + floor,
                                       open: "" }[cls]));
    return td;
  }

  function best(i) { return Math.max(ALL.s[0][i], ALL.s[1][i], ALL.s[2][i]); }

  var KEYS = {
    choice: function (i) { return choices.get(i) || ""; },
    d: decision,
    release: function (i) { return text(i, "ma") + "\u0000" + text(i, "mt"); },
    library: function (i) { return text(i, "la") + "\u0000" + text(i, "lt"); },
    s1: function (i) { return ALL.s[0][i]; },
    s2: function (i) { return ALL.s[1][i]; },
    s3: function (i) { return ALL.s[2][i]; },
    reason: function (i) { return text(i, "reason"); }
  };

  // What a search looks in, per row, made at the first search; a shortened
  // field repeats another and is left out.
  var HAYSTACK = null;
  function haystack() {
    if (!HAYSTACK) HAYSTACK = ROWS.map(function (r, i) {
      return ["a", "t", "ma", "mt", "la", "lt"].filter(function (name) { return r[F[name]] !== 0; })
        .map(function (name) { return text(i, name); }).join("\u0000").toLowerCase();
    });
    return HAYSTACK;
  }

  function number(id, fallback) {
    var v = parseFloat($(id).value);
    return isNaN(v) ? fallback : v;
  }

  function select() {
    var wanted = {};
    ["keep", "prune", "review"].forEach(function (d) { wanted[d] = $("filter-" + d).checked; });
    var lo = number("range-min", 0), hi = number("range-max", 1), measure = $("range-measure").value;
    var needle = $("search").value.trim().toLowerCase();
    var shown = [];
    for (var i = 0; i < ROWS.length; i++) {
      if (!wanted[decision(i)]) continue;
      // A score known only to a range is shown where the range meets the one asked for.
      var j = ["s1", "s2", "s3"].indexOf(measure);
      var least = measure === "best" ? best(i) : ALL.s[j][i];
      var upTo = measure === "best" ? Math.max(ALL.m[0][i], ALL.m[1][i], ALL.m[2][i]) : ALL.m[j][i];
      if (upTo < lo || least > hi) continue;
      if (needle && haystack()[i].indexOf(needle) < 0) continue;
      shown.push(i);
    }
    if (state.sort) {
      var key = KEYS[state.sort], sign = state.desc ? -1 : 1;
      var keys = new Map();
      shown.forEach(function (i) { keys.set(i, key(i)); });
      shown.sort(function (a, b) {
        var x = keys.get(a), y = keys.get(b);
        return (x < y ? -1 : x > y ? 1 : a - b) * sign;
      });
    }
    state.shown = shown;
    state.page = 0;
    render();
  }

  function choiceCell(i) {
    var td = el("td");
    var box = el("select");
    box.setAttribute("aria-label", "choice");
    [["", "—"], ["keep", "keep"], ["prune", "prune"]].forEach(function (o) {
      var opt = el("option", null, o[1]);
      opt.value = o[0];
      box.appendChild(opt);
    });
    box.value = choices.get(i) || "";
    box.className = "choice";
    box.addEventListener("change", function () {
      if (box.value) choices.set(i, box.value); else choices.delete(i);
      td.parentNode.classList.toggle("chosen", !!box.value);
      $("count-chosen").textContent = choices.size.toLocaleString("en");
    });
    td.appendChild(box);
    return td;
  }

  function render() {
    var body = $("rows").tBodies[0];
    var total = state.shown.length, pages = Math.max(1, Math.ceil(total / PAGE));
    state.page = Math.min(Math.max(0, state.page), pages - 1);
    var from = state.page * PAGE, to = Math.min(total, from + PAGE);
    var frag = document.createDocumentFragment();
    for (var k = from; k < to; k++) {
      var i = state.shown[k], r = ROWS[i];
      var tr = el("tr");
      tr.dataset.row = String(i);
      if (choices.has(i)) tr.className = "chosen";
      tr.appendChild(choiceCell(i));
      tr.appendChild(el("td", "decision " + decision(i), decision(i)));
      var rel = el("td", "release");
      rel.appendChild(el("span", "given artist", r[F.a]));
      rel.appendChild(el("span", "given title", r[F.t]));
      var ma = text(i, "ma"), mt = text(i, "mt"), la = text(i, "la"), lt = text(i, "lt");
      var entry = la || lt;  // nothing to compare with: nothing marked
      rel.appendChild(entry ? marked(ma, la) : el("span", "form", ma));
      rel.appendChild(entry ? marked(mt, lt) : el("span", "form", mt));
      tr.appendChild(rel);
      var lib = el("td", "library");
      if (entry) {
        lib.appendChild(marked(la, ma));
        lib.appendChild(marked(lt, mt));
      } else {
        lib.textContent = "none";
      }
      // The best entries of measures where they are not this one, beside it.
      others(i).forEach(function (o) {
        var other = el("div", "other-entry");
        other.appendChild(el("span", "measure", "best " + o[0].replace(/_/g, " ") + ":"));
        other.appendChild(marked(o[1], ma));
        other.appendChild(marked(o[2], mt));
        lib.appendChild(other);
      });
      tr.appendChild(lib);
      MEASURES.forEach(function (m, j) { tr.appendChild(scoreCell(i, j, m[2])); });
      tr.appendChild(el("td", "reason", text(i, "reason")));
      frag.appendChild(tr);
    }
    body.replaceChildren(frag);
    $("shown").textContent = total.toLocaleString("en");
    $("page-info").textContent = total ? "rows " + (from + 1).toLocaleString("en") + "–" + to.toLocaleString("en") +
      ", page " + (state.page + 1) + " of " + pages : "no rows";
    $("page-prev").disabled = state.page === 0;
    $("page-next").disabled = state.page >= pages - 1;
  }

  function csvField(s) {
    s = String(s);
    return /[",\r\n]/.test(s) ? '"' + s.replace(/"/g, '""') + '"' : s;
  }

  // The export is for spreadsheets: a name a spreadsheet would read as a
  // formula gets a ' before it (as --csv-safe; also past leading 's, so that
  // the next run, which takes one off, reads back every name exactly).
  function formulaSafe(s) {
    s = String(s);
    return /^'*[=+\-@\t\r]/.test(s) ? "'" + s : s;
  }

  function exportChoices() {
    var lines = ["artist,title,decision"];
    Array.from(choices.keys()).sort(function (a, b) { return a - b; }).forEach(function (i) {
      var r = ROWS[i];
      lines.push([formulaSafe(r[F.a]), formulaSafe(r[F.t]), choices.get(i)].map(csvField).join(","));
    });
    var blob = new Blob([lines.join("\n") + "\n"], { type: "text/csv" });
    var a = el("a");
    a.href = URL.createObjectURL(blob);
    a.download = "decisions.csv";
    document.body.appendChild(a);
    a.click();
    a.remove();
    setTimeout(function () { URL.revokeObjectURL(a.href); }, 60000);
  }

  function wire() {
    ["filter-keep", "filter-prune", "filter-review", "range-measure", "range-min", "range-max"].forEach(function (id) {
      $(id).addEventListener("change", select);
    });
    var pending = null;
    $("search").addEventListener("input", function () {
      clearTimeout(pending);
      pending = setTimeout(select, 120);
    });
    $("search").addEventListener("change", select);
    $("page-prev").addEventListener("click", function () { state.page -= 1; render(); });
    $("page-next").addEventListener("click", function () { state.page += 1; render(); });
    $("export").addEventListener("click", exportChoices);
    Array.prototype.forEach.call(document.querySelectorAll("#rows th button"), function (b) {
      b.addEventListener("click", function () {
        var key = b.dataset.sort;
        state.desc = state.sort === key ? !state.desc : key.charAt(0) === "s";  // scores: best first
        state.sort = key;
        document.querySelectorAll("#rows th button").forEach(function (o) { o.className = ""; });
        b.className = state.desc ? "desc" : "asc";
        select();
      });
    });
  }

  header();
  counts();
  charts();
  whatif();
  wire();
  select();
  document.body.dataset.ready = "true";
})();
