"use strict";
// The review page: everything it shows comes from the JSON block #data.
// Names are untrusted: they reach the document only as text nodes.
(function () {
  var DATA = JSON.parse(document.getElementById("data").textContent);
  var F = {};
  DATA.columns.forEach(function (name, k) { F[name] = k; });
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
  function val(r, name) { return r[F[name]]; }

  // A score as the reasons give it: four decimals, trailing zeros cut down to two.
  function scoreText(v) {
    var s = v.toFixed(4);
    while (s.length > 4 && s.charAt(s.length - 1) === "0" && s.charAt(s.length - 3) !== ".") s = s.slice(0, -1);
    return s;
  }

  // The reason the classifier gives for a row's scores, where the row leaves it out.
  function reasonOf(r) {
    var s1 = val(r, "s1"), s2 = val(r, "s2"), s3 = val(r, "s3"), floor = scoreText(TH.review_floor);
    function band(name, s, keep) {
      return name + " " + scoreText(s) + " in the review band [" + floor + ", " + scoreText(keep) + ")";
    }
    if (val(r, "x")) return "exact pair in the library";
    if (s1 >= TH.review_floor && s1 < TH.token_set_keep) return band("token_set", s1, TH.token_set_keep);
    if (s2 >= TH.review_floor && s2 < TH.token_sort_keep) return band("token_sort", s2, TH.token_sort_keep);
    if (s1 >= TH.token_set_keep && s2 >= TH.token_sort_keep && s3 >= TH.two_stage_keep)
      return "all three scores at or above their keep values";
    if (s1 < TH.review_floor && s2 < TH.review_floor && s3 < TH.review_floor)
      return "all three scores below the review floor " + floor;
    if (s3 >= TH.review_floor && s3 < TH.two_stage_keep) return band("two_stage", s3, TH.two_stage_keep);
    return "token_set " + scoreText(s1) + ", token_sort " + scoreText(s2) + ", two_stage " + scoreText(s3) +
      ": some at or above the review floor " + floor + ", not all at their keep values";
  }

  // A text field of a row, the shortened ones written out when asked for
  // (review.py's _listed): 0 for a match form that is the name in lower case,
  // 1 for a library form that is the release's, null for a reason to derive.
  var SOURCE = { ma: "a", mt: "t", la: "ma", lt: "mt" };
  function text(r, name) {
    var v = r[F[name]];
    if (v === 0) return r[F[SOURCE[name]]].toLowerCase();
    if (v === 1) return text(r, SOURCE[name]);
    if (v === null) return reasonOf(r);
    return v;
  }

  // The most a row's score j can be: the score itself where exact, else its bound (evidence that settles
  // scores only against the thresholds and the steps around them).
  function most(r, j) {
    var b = val(r, "b");
    return b && b[j] !== null ? b[j] : val(r, MEASURES[j][0]);
  }
  function bounded(r, j) { var b = val(r, "b"); return !!(b && b[j] !== null); }

  // Every release, listed or not (DATA.scores: those the list leaves out,
  // ten base-64 digits each, nine more with bounds): its decision, flags,
  // and the least (s) and most (m) each best score can be.
  var DECISIONS = ["keep", "prune", "review"];
  var EXACT = 1, NUMBERS = 2, CHOSEN = 4, BOUNDED = 8;
  var ALL = (function () {
    var packed = DATA.scores, n = ROWS.length + (DATA.unlisted || 0);
    var all = { n: n, d: new Uint8Array(n), flags: new Uint8Array(n),
                s: [new Float64Array(n), new Float64Array(n), new Float64Array(n)],
                m: [new Float64Array(n), new Float64Array(n), new Float64Array(n)] };
    ROWS.forEach(function (r, k) {
      var by = val(r, "by");
      all.d[k] = DECISIONS.indexOf(val(r, "d"));
      all.flags[k] = (val(r, "x") ? EXACT : 0) | (by === "numbers" ? NUMBERS : 0) | (by === "decisions" ? CHOSEN : 0) |
        (val(r, "b") ? BOUNDED : 0);
      MEASURES.forEach(function (m, j) { all.s[j][k] = val(r, m[0]); all.m[j][k] = most(r, j); });
    });
    var digit = new Uint8Array(128);
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_".split("").forEach(function (c, v) {
      digit[c.charCodeAt(0)] = v;
    });
    function at(i) { return digit[packed.charCodeAt(i)]; }
    function score(i) { return (at(i) * 4096 + at(i + 1) * 64 + at(i + 2)) / 10000; }
    for (var k = ROWS.length, i = 0; k < n; k++) {
      var code = at(i);
      all.d[k] = code % 3;
      all.flags[k] = (code / 3) | 0;
      for (var j = 0; j < 3; j++) all.s[j][k] = all.m[j][k] = score(i + 1 + 3 * j);
      i += 10;
      if (all.flags[k] & BOUNDED) {
        for (j = 0; j < 3; j++) all.m[j][k] = score(i + 3 * j);
        i += 9;
      }
    }
    return all;
  })();

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

  // Values within [lo, hi] that compare with the thresholds in every way a
  // score of that range can: the ends and each threshold inside.
  function probes(lo, hi, ts) {
    var out = [lo];
    ts.forEach(function (t) { if (t > lo && t <= hi) out.push(t); });
    if (hi > lo) out.push(hi);
    return out;
  }

  // The decisions release k can have under thresholds th, as bits (1 << decision): one bit where its
  // scores are exact or their bounds settle every comparison.
  function decide(k, th) {
    var flags = ALL.flags[k];
    if (flags & CHOSEN) return 1 << ALL.d[k];
    if (flags & EXACT) return 1;
    if (!(flags & BOUNDED)) return 1 << decideScores(flags, ALL.s[0][k], ALL.s[1][k], ALL.s[2][k], th);
    var ts = [th.review_floor, th.token_set_keep, th.token_sort_keep, th.two_stage_keep];
    var p = [0, 1, 2].map(function (j) { return probes(ALL.s[j][k], ALL.m[j][k], ts); });
    var bits = 0;
    p[0].forEach(function (s1) {
      p[1].forEach(function (s2) {
        p[2].forEach(function (s3) { bits |= 1 << decideScores(flags, s1, s2, s3, th); });
      });
    });
    return bits;
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
    var stacks = [];
    for (var b = 0; b < bins; b++) stacks.push({ keep: 0, prune: 0, review: 0 });
    var scores = ALL.s[j], most = ALL.m[j], spans = new Map();  // "first bin,last bin" -> releases
    function binOf(s) { return Math.min(bins - 1, Math.floor(s * bins)); }
    for (var k = 0; k < ALL.n; k++) {
      var b0 = binOf(scores[k]), b1 = binOf(most[k]);
      if (b0 === b1) stacks[b0][DECISIONS[ALL.d[k]]] += 1;
      else spans.set(b0 + "," + b1, (spans.get(b0 + "," + b1) || 0) + 1);
    }
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
    var surely = 0, maybe = 0;
    for (var k = 0; k < ALL.n; k++) {
      var bits = decide(k, th);
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
    BASE = new Uint8Array(ALL.n);
    // The evidence settles every comparison with the thresholds themselves: one bit each.
    for (var k = 0; k < ALL.n; k++) BASE[k] = decide(k, TH);
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
  function scoreText4(r, j) {
    var s = val(r, MEASURES[j][0]);
    if (!bounded(r, j)) return fmt(s);
    var m = most(r, j);
    if (m >= 1) return s > 0 ? "≥ " + fmt(s) : "not scored";
    return (s > 0 ? fmt(s) + "–" : "≤ ") + fmt(m);
  }

  function scoreCell(r, measure, keepName) {
    var j = ["s1", "s2", "s3"].indexOf(measure), s = val(r, measure), m = most(r, j);
    var keep = TH[keepName], floor = TH.review_floor;
    // Only what the range settles: a bound that straddles a threshold says nothing of it.
    var cls = s >= keep ? "ok" : s >= floor && m < keep ? "band" : m < floor ? "low" : "open";
    var td = el("td", "score " + cls, scoreText4(r, j));
    td.appendChild(el("small", null, { ok: "≥ keep " + keep, band: "< keep " + keep, low: "< floor " + floor,
                                       open: "" }[cls]));
    return td;
  }

  function best(r) { return Math.max(val(r, "s1"), val(r, "s2"), val(r, "s3")); }

  var KEYS = {
    choice: function (i) { return choices.get(i) || ""; },
    d: function (i) { return val(ROWS[i], "d"); },
    release: function (i) { return text(ROWS[i], "ma") + "\u0000" + text(ROWS[i], "mt"); },
    library: function (i) { return text(ROWS[i], "la") + "\u0000" + text(ROWS[i], "lt"); },
    s1: function (i) { return val(ROWS[i], "s1"); },
    s2: function (i) { return val(ROWS[i], "s2"); },
    s3: function (i) { return val(ROWS[i], "s3"); },
    reason: function (i) { return text(ROWS[i], "reason"); }
  };

  // What a search looks in, per row, made at the first search; a shortened
  // field repeats another and is left out.
  var HAYSTACK = null;
  function haystack() {
    if (!HAYSTACK) HAYSTACK = ROWS.map(function (r) {
      return ["a", "t", "ma", "mt", "la", "lt"].map(function (name) { return r[F[name]]; })
        .filter(function (v) { return typeof v === "string"; }).join("\u0000").toLowerCase();
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
      var r = ROWS[i];
      if (!wanted[val(r, "d")]) continue;
      // A score known only to a range is shown where the range meets the one asked for.
      var j = ["s1", "s2", "s3"].indexOf(measure);
      var least = measure === "best" ? best(r) : val(r, measure);
      var upTo = measure === "best" ? Math.max(most(r, 0), most(r, 1), most(r, 2)) : most(r, j);
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
      tr.appendChild(el("td", "decision " + val(r, "d"), val(r, "d")));
      var rel = el("td", "release");
      rel.appendChild(el("span", "given artist", val(r, "a")));
      rel.appendChild(el("span", "given title", val(r, "t")));
      var ma = text(r, "ma"), mt = text(r, "mt"), la = text(r, "la"), lt = text(r, "lt");
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
      (val(r, "oe") || []).forEach(function (o) {
        var other = el("div", "other-entry");
        other.appendChild(el("span", "measure", "best " + o[0].replace(/_/g, " ") + ":"));
        other.appendChild(marked(o[1], ma));
        other.appendChild(marked(o[2], mt));
        lib.appendChild(other);
      });
      tr.appendChild(lib);
      MEASURES.forEach(function (m) { tr.appendChild(scoreCell(r, m[0], m[2])); });
      tr.appendChild(el("td", "reason", text(r, "reason")));
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
      lines.push([formulaSafe(val(r, "a")), formulaSafe(val(r, "t")), choices.get(i)].map(csvField).join(","));
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
