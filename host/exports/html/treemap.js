// The HTML report's page: decodes the scan data (host/exports/html_report.h describes its form), lays out
// the folder shown with d3-hierarchy's squarified treemap and draws it on a canvas; breadcrumb,
// zoom, hover, legend and the tables of the largest folders and files. With the URL fragment
// #selftest it checks itself once drawn and writes the results as JSON into #selftest.
(function () {
  "use strict";

  const CATEGORY_FOLDER = 16;
  const CATEGORY_DRIVE = 17;
  const COLOURS = {
    0: "#a3aab2", 1: "#f0a23b", 2: "#e0584f", 3: "#b569cf", 4: "#a07c62", 5: "#4f9fdc",
    6: "#5cb85c", 7: "#ef6f9f", 8: "#2bb0a3", 9: "#c4cc3c",
    16: "#d3dade", 17: "#bac5cc", 18: "#ffb59b", 19: "#8adbe8", 20: "#5f6368", 21: "#d9d2cc",
  };

  // ===== The data =====

  const startedAt = performance.now();  // the document has been read up to this script
  const dataElement = document.getElementById("scan-data");
  const data = JSON.parse(dataElement.textContent);
  dataElement.remove();  // the decoded arrays below hold everything; the text can go

  const names = data.names;
  const count = data.shown;
  const childCount = new Uint32Array(count);
  const nameOf = new Uint32Array(count);
  const category = new Uint8Array(count);
  const size = new Float64Array(count);
  const otherSize = new Float64Array(count);
  const ownSize = new Float64Array(count);  // the part of a node's size that no child holds
  const shownOwnSize = new Float64Array(count);  // the part no child laid out in the view holds
  const parent = new Int32Array(count);
  const subtreeEnd = new Uint32Array(count);  // one past the node's last descendant (preorder)

  (function decode(text) {
    const alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    const digit = new Int8Array(128).fill(-1);
    for (let i = 0; i < alphabet.length; i++) digit[alphabet.charCodeAt(i)] = i;
    let position = 0;
    function next() {
      let value = 0;
      let scale = 1;
      for (;;) {
        const d = digit[text.charCodeAt(position++)];
        if (!(d >= 0)) throw new Error("the page's data is damaged at " + (position - 1));
        if (d < 32) return value + d * scale;
        value += (d - 32) * scale;
        scale *= 32;
      }
    }
    const open = [];  // nodes that still wait for children
    const remaining = new Uint32Array(count);
    for (let i = 0; i < count; i++) {
      childCount[i] = next();
      nameOf[i] = next();
      category[i] = next();
      size[i] = next();
      otherSize[i] = next();
      while (open.length > 0 && remaining[open[open.length - 1]] === 0) open.pop();
      const up = open.length > 0 ? open[open.length - 1] : -1;
      parent[i] = up;
      if (up >= 0) remaining[up]--;
      remaining[i] = childCount[i];
      if (childCount[i] > 0) open.push(i);
      subtreeEnd[i] = i + 1;
    }
    if (position !== text.length) throw new Error("the page's data has trailing text");
    ownSize.set(size);
    for (let i = count - 1; i > 0; i--) {
      if (subtreeEnd[i] > subtreeEnd[parent[i]]) subtreeEnd[parent[i]] = subtreeEnd[i];
      ownSize[parent[i]] -= size[i];
    }
    // A folder's own bytes (its directory blocks) fill the room its children leave.
    for (let i = 0; i < count; i++) if (ownSize[i] < 0) ownSize[i] = 0;
  })(data.nodes);
  data.nodes = null;
  const decodedAt = performance.now();

  function isContainer(node) { return childCount[node] > 0; }
  function isFile(node) { return category[node] < CATEGORY_FOLDER; }
  function nameOfNode(node) { return names[nameOf[node]]; }

  function pathOf(node) {
    const parts = [];
    for (let n = node; n >= 0; n = parent[n]) parts.push(nameOfNode(n));
    parts.reverse();
    let path = parts[0];
    for (let k = 1; k < parts.length; k++) {
      path += (path.endsWith(data.separator) ? "" : data.separator) + parts[k];
    }
    return path;
  }

  // ===== Text =====

  const UNITS = ["B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"];
  function humanSize(bytes) {
    if (bytes < 1024) return bytes + " B";
    let value = bytes;
    let unit = 0;
    while (value >= 1024 && unit < UNITS.length - 1) {
      value /= 1024;
      unit++;
    }
    if (Number(value.toFixed(1)) >= 1024 && unit < UNITS.length - 1) {
      value /= 1024;
      unit++;
    }
    return value.toFixed(1) + " " + UNITS[unit];
  }
  function grouped(value) { return Math.round(value).toLocaleString("en-US"); }
  function percent(part, whole) {
    return whole > 0 ? (100 * part / whole).toFixed(part * 1000 < whole ? 2 : 1) + " %" : "-";
  }
  const measureName = data.measure === "logical" ? "logical size" : "size on disk";
  const otherName = data.measure === "logical" ? "size on disk" : "logical size";
  function categoryName(code) { return data.categories[code] || "?"; }
  function element(tag, className, text) {
    const made = document.createElement(tag);
    if (className) made.className = className;
    if (text !== undefined) made.textContent = text;
    return made;
  }

  // ===== Header =====

  document.getElementById("title").textContent = data.root;
  (function summary() {
    const totals = data.totals;
    const parts = [
      "size on disk " + humanSize(totals.sizeOnDiskBytes),
      "logical size " + humanSize(totals.logicalBytes),
      grouped(totals.files) + " files", grouped(totals.folders) + " folders",
      grouped(totals.links) + " links", grouped(totals.restricted) + " restricted",
    ];
    if (totals.unknownSpaceBytes !== null) {
      parts.push("Unknown Space " + humanSize(totals.unknownSpaceBytes));
    }
    parts.push("area by " + measureName);
    let text = parts.join(" \u00b7 ");
    if (data.unavailable.length > 0) text += " \u00b7 unavailable: " + data.unavailable.join(", ");
    document.getElementById("summary").textContent = text;
    if (data.merged > 0) {
      const notice = document.getElementById("notice");
      notice.textContent = "This page draws " + grouped(count) + " rectangles for " +
          grouped(data.entries) + " entries: past " + grouped(data.budget) +
          " rectangles, the smallest entries of each folder are merged into one " +
          "\u201c(n more entries)\u201d rectangle (" + grouped(data.merged) + " entries merged).";
      notice.hidden = false;
    }
  })();

  // ===== The treemap =====

  const map = document.getElementById("map");
  const canvas = document.getElementById("map-canvas");
  const overlay = document.getElementById("map-overlay");
  const tooltip = document.getElementById("tooltip");
  const context = canvas.getContext("2d", { alpha: false });
  const overlayContext = overlay.getContext("2d");
  let view = 0;            // the node whose subtree fills the map
  let layoutRoot = null;   // d3's hierarchy of `view`, laid out
  let width = 0;
  let height = 0;
  let hovered = null;

  function layout() {
    width = Math.max(1, map.clientWidth);
    height = Math.max(1, map.clientHeight);
    const ratio = window.devicePixelRatio || 1;
    for (const target of [canvas, overlay]) {
      target.width = Math.round(width * ratio);
      target.height = Math.round(height * ratio);
    }
    context.setTransform(ratio, 0, 0, ratio, 0, 0);
    overlayContext.setTransform(ratio, 0, 0, ratio, 0, 0);
    // Entries smaller than a pixel are not laid out: their bytes stay with their folder, which
    // fills the room they leave, and so does a folder of less than four pixels, drawn whole. The
    // layout and the drawing then cost what the screen can show, not what the tree holds.
    const scale = (width * height) / size[view];
    const root = d3.hierarchy(view, (node) => {
      let own = size[node];
      let shown = null;
      if (childCount[node] > 0 && (node === view || size[node] * scale >= 4)) {
        let child = node + 1;
        for (let k = 0; k < childCount[node]; k++, child = subtreeEnd[child]) {
          if (size[child] * scale < 1) continue;
          (shown || (shown = [])).push(child);
          own -= size[child];
        }
      }
      shownOwnSize[node] = Math.max(0, own);
      return shown;
    }).sum((node) => shownOwnSize[node]);
    d3.treemap().tile(d3.treemapSquarify).size([width, height])(root);
    layoutRoot = root;
  }

  // A folder takes the colour of its largest file (a node's first child in preorder is its
  // largest) where it shows.
  function colourOf(node) {
    while (childCount[node] > 0) node++;
    return COLOURS[category[node]] || COLOURS[0];
  }

  function draw() {
    context.fillStyle = "#ffffff";
    context.fillRect(0, 0, width, height);
    const leaves = [];
    const folders = [];
    layoutRoot.each((n) => {
      if (n.x1 - n.x0 <= 0 || n.y1 - n.y0 <= 0) return;
      (n.children ? folders : leaves).push(n);
    });
    for (const n of folders) {  // what shows of a folder: its own bytes and its tiny entries
      if (shownOwnSize[n.data] === 0) continue;
      context.fillStyle = colourOf(n.data);
      context.fillRect(n.x0, n.y0, n.x1 - n.x0, n.y1 - n.y0);
    }
    // One path per colour: far fewer canvas calls than one fill per rectangle.
    const byColour = new Map();
    for (const n of leaves) {
      const colour = colourOf(n.data);
      if (!byColour.has(colour)) byColour.set(colour, []);
      byColour.get(colour).push(n);
    }
    for (const [colour, group] of byColour) {
      context.beginPath();
      for (const n of group) context.rect(n.x0, n.y0, n.x1 - n.x0, n.y1 - n.y0);
      context.fillStyle = colour;
      context.fill();
    }
    for (const n of leaves) {
      const w = n.x1 - n.x0;
      const h = n.y1 - n.y0;
      if (w * h < 120) continue;
      // A cushion of light and shade on the rectangles one can see.
      const shade = context.createLinearGradient(n.x0, n.y0, n.x1, n.y1);
      shade.addColorStop(0, "rgba(255,255,255,0.30)");
      shade.addColorStop(1, "rgba(0,0,0,0.16)");
      context.fillStyle = shade;
      context.fillRect(n.x0, n.y0, w, h);
    }
    context.beginPath();
    for (const n of leaves) {
      if (n.x1 - n.x0 >= 4 && n.y1 - n.y0 >= 4) {
        context.rect(n.x0 + 0.5, n.y0 + 0.5, n.x1 - n.x0 - 1, n.y1 - n.y0 - 1);
      }
    }
    context.strokeStyle = "rgba(0,0,0,0.22)";
    context.lineWidth = 1;
    context.stroke();
    // Folder outlines, heavier for the folders a click zooms into.
    for (const [depthTest, line, colour] of [[(d) => d > 1, 1, "rgba(0,0,0,0.35)"],
                                             [(d) => d === 1, 2, "rgba(0,0,0,0.7)"]]) {
      context.beginPath();
      for (const n of folders) {
        if (depthTest(n.depth) && n.x1 - n.x0 >= 3 && n.y1 - n.y0 >= 3) {
          context.rect(n.x0 + line / 2, n.y0 + line / 2, n.x1 - n.x0 - line, n.y1 - n.y0 - line);
        }
      }
      context.strokeStyle = colour;
      context.lineWidth = line;
      context.stroke();
    }
    drawLabels();
    if (size[view] === 0) {
      context.font = "14px system-ui, 'DejaVu Sans', sans-serif";
      context.textAlign = "center";
      context.fillStyle = "#4a525a";
      context.fillText("Nothing to draw: " + nameOfNode(view) + " holds no bytes", width / 2,
                       height / 2);
      context.textAlign = "start";
    }
  }

  function fittedText(text, room) {
    if (context.measureText(text).width <= room) return text;
    let cut = text.length;
    while (cut > 1 && context.measureText(text.slice(0, cut) + "\u2026").width > room) cut--;
    return cut > 1 ? text.slice(0, cut) + "\u2026" : "";
  }

  function drawLabels() {
    context.font = "11px system-ui, 'DejaVu Sans', sans-serif";
    context.textBaseline = "middle";
    context.textAlign = "center";
    // Files deeper down, in rectangles with room for their names.
    layoutRoot.each((n) => {
      if (n.children || n.depth < 2 || n.x1 - n.x0 < 60 || n.y1 - n.y0 < 22) return;
      const label = fittedText(nameOfNode(n.data), n.x1 - n.x0 - 8);
      if (!label) return;
      context.fillStyle = "rgba(20,24,28,0.85)";
      context.fillText(label, (n.x0 + n.x1) / 2, (n.y0 + n.y1) / 2);
    });
    context.font = "12px system-ui, 'DejaVu Sans', sans-serif";
    context.textBaseline = "top";
    context.textAlign = "start";
    for (const n of layoutRoot.children || []) {
      const w = n.x1 - n.x0;
      const h = n.y1 - n.y0;
      if (w < 40 || h < 18) continue;
      const label = fittedText(nameOfNode(n.data) + "  " + humanSize(size[n.data]), w - 8);
      if (!label) continue;
      const band = Math.min(16, h);
      context.fillStyle = n.children ? "rgba(29,35,41,0.78)" : "rgba(255,255,255,0.72)";
      context.fillRect(n.x0 + 2, n.y0 + 2, Math.min(w - 4, context.measureText(label).width + 8),
                       band);
      context.fillStyle = n.children ? "#ffffff" : "#1d2329";
      context.fillText(label, n.x0 + 6, n.y0 + 4);
    }
  }

  // The deepest laid-out node under the point, or null.
  function nodeAt(x, y) {
    let n = layoutRoot;
    if (!n || x < n.x0 || x >= n.x1 || y < n.y0 || y >= n.y1) return null;
    for (;;) {
      const next = (n.children || []).find((c) => x >= c.x0 && x < c.x1 && y >= c.y0 && y < c.y1);
      if (!next) return n;
      n = next;
    }
  }

  function zoomTargetOf(n) {
    while (n && n.depth > 1) n = n.parent;
    return n && n.depth === 1 && n.children ? n : null;
  }

  function drawOverlay() {
    overlayContext.clearRect(0, 0, width, height);
    if (!hovered) return;
    const target = zoomTargetOf(hovered);
    if (target) {
      overlayContext.setLineDash([6, 4]);
      overlayContext.strokeStyle = "#ffffff";
      overlayContext.lineWidth = 2;
      overlayContext.strokeRect(target.x0 + 1, target.y0 + 1, target.x1 - target.x0 - 2,
                                target.y1 - target.y0 - 2);
      overlayContext.setLineDash([]);
    }
    overlayContext.strokeStyle = "#111111";
    overlayContext.lineWidth = 2;
    overlayContext.strokeRect(hovered.x0 + 1, hovered.y0 + 1, Math.max(0, hovered.x1 - hovered.x0 - 2),
                              Math.max(0, hovered.y1 - hovered.y0 - 2));
  }

  function pointIn(event) {
    const box = canvas.getBoundingClientRect();
    return [event.clientX - box.left, event.clientY - box.top];
  }

  function showTooltip(n, x, y) {
    tooltip.replaceChildren();
    const node = n.data;
    tooltip.append(element("div", "path", pathOf(node)));
    const lines = [
      categoryName(category[node]) + (isContainer(node) ? ", " + grouped(childCount[node]) +
          " entries" : ""),
      measureName + ": " + humanSize(size[node]) + " (" + grouped(size[node]) + " bytes)",
      otherName + ": " + humanSize(otherSize[node]) + " (" + grouped(otherSize[node]) + " bytes)",
      percent(size[node], size[view]) + " of " + nameOfNode(view),
    ];
    for (const line of lines) tooltip.append(element("div", "figures", line));
    tooltip.hidden = false;
    const left = x + 16 + tooltip.offsetWidth > width ? Math.max(0, x - 16 - tooltip.offsetWidth)
                                                      : x + 16;
    const top = y + 16 + tooltip.offsetHeight > height ? Math.max(0, y - 16 - tooltip.offsetHeight)
                                                       : y + 16;
    tooltip.style.left = left + "px";
    tooltip.style.top = top + "px";
  }

  canvas.addEventListener("mousemove", (event) => {
    const [x, y] = pointIn(event);
    const n = nodeAt(x, y);
    if (n !== hovered) {
      hovered = n;
      drawOverlay();
    }
    if (n) showTooltip(n, x, y);
    else tooltip.hidden = true;
    canvas.style.cursor = zoomTargetOf(n) ? "zoom-in" : "default";
  });
  canvas.addEventListener("mouseleave", () => {
    hovered = null;
    tooltip.hidden = true;
    drawOverlay();
  });
  canvas.addEventListener("click", (event) => {
    const [x, y] = pointIn(event);
    const target = zoomTargetOf(nodeAt(x, y));
    if (target) zoomTo(target.data);
  });
  canvas.addEventListener("contextmenu", (event) => {
    if (view === 0) return;
    event.preventDefault();
    zoomTo(parent[view]);
  });
  document.addEventListener("keydown", (event) => {
    if ((event.key === "Escape" || event.key === "Backspace") && view !== 0) {
      event.preventDefault();
      zoomTo(parent[view]);
    }
  });
  window.addEventListener("popstate", (event) => {
    const wanted = event.state && typeof event.state.view === "number" ? event.state.view : 0;
    if (wanted >= 0 && wanted < count) zoomTo(wanted, false);
  });
  let resizeTimer = 0;
  window.addEventListener("resize", () => {
    clearTimeout(resizeTimer);
    resizeTimer = setTimeout(() => { layout(); draw(); drawOverlay(); }, 100);
  });

  // ===== Breadcrumb, legend, tables =====

  const breadcrumb = document.getElementById("breadcrumb");
  function showBreadcrumb() {
    breadcrumb.replaceChildren();
    const up = element("button", "up", "\u2191 Up");
    up.disabled = view === 0;
    up.title = "Show the parent folder (Escape, right click)";
    up.addEventListener("click", () => { if (view !== 0) zoomTo(parent[view]); });
    breadcrumb.append(up);
    const chain = [];
    for (let n = view; n >= 0; n = parent[n]) chain.push(n);
    chain.reverse();
    chain.forEach((n, k) => {
      if (k > 0) breadcrumb.append(element("span", "separator", "\u203a"));
      if (n === view) {
        breadcrumb.append(element("span", "current", nameOfNode(n)));
      } else {
        const step = element("button", "step", nameOfNode(n));
        step.addEventListener("click", () => zoomTo(n));
        breadcrumb.append(step);
      }
    });
    breadcrumb.append(element("span", "separator", "\u00a0" + humanSize(size[view])));
  }

  const legend = document.getElementById("legend");
  function showLegend() {
    const amounts = new Map();
    for (let n = view; n < subtreeEnd[view]; n++) {
      if (ownSize[n] > 0) amounts.set(category[n], (amounts.get(category[n]) || 0) + ownSize[n]);
    }
    legend.replaceChildren();
    for (const [code, amount] of [...amounts].sort((a, b) => b[1] - a[1])) {
      const item = element("li");
      const swatch = element("span", "swatch");
      swatch.style.background = COLOURS[code] || COLOURS[0];
      item.append(swatch, element("span", "", categoryName(code)),
                  element("span", "amount", humanSize(amount)));
      legend.append(item);
    }
  }

  // The `limit` largest nodes below `view` that `wanted` accepts, largest first.
  function largest(wanted, limit) {
    const found = [];
    for (let n = view + 1; n < subtreeEnd[view]; n++) {
      if (size[n] === 0 || !wanted(n)) continue;
      if (found.length === limit && size[n] <= size[found[limit - 1]]) continue;
      let at = found.length < limit ? found.length : limit - 1;
      found[at] = n;
      while (at > 0 && size[found[at - 1]] < size[found[at]]) {
        [found[at - 1], found[at]] = [found[at], found[at - 1]];
        at--;
      }
    }
    return found;
  }

  function relativePath(node) {
    const full = pathOf(node);
    const base = pathOf(view);
    return full.startsWith(base) ? full.slice(base.length).replace(/^[\\/]/, "") : full;
  }

  // A table whose columns sort on a click on their heading.
  function sortableTable(table, columns, rows, onPick) {
    let sortColumn = -1;
    let descending = true;
    function render() {
      table.replaceChildren();
      const head = element("thead");
      const headRow = element("tr");
      columns.forEach((column, k) => {
        const cell = element("th", column.number ? "number" : "", column.title);
        if (k === sortColumn) cell.setAttribute("aria-sort", descending ? "descending" : "ascending");
        cell.addEventListener("click", () => {
          descending = k === sortColumn ? !descending : Boolean(column.number);
          sortColumn = k;
          const key = column.key;
          rows.sort((a, b) => {
            const left = key(a);
            const right = key(b);
            const order = left < right ? -1 : left > right ? 1 : 0;
            return descending ? -order : order;
          });
          render();
        });
        headRow.append(cell);
      });
      head.append(headRow);
      const body = element("tbody");
      for (const row of rows) {
        const line = element("tr");
        line.title = pathOf(row);
        for (const column of columns) {
          const cell = element("td", column.className || (column.number ? "number" : ""));
          column.show(row, cell);
          line.append(cell);
        }
        line.addEventListener("click", () => onPick(row));
        body.append(line);
      }
      if (rows.length === 0) {
        const line = element("tr");
        const cell = element("td", "empty", "none");
        cell.colSpan = columns.length;
        line.append(cell);
        body.append(line);
      }
      table.append(head, body);
    }
    render();
  }

  function nameCell(node, cell) {
    const chip = element("span", "chip");
    chip.style.background = COLOURS[category[node]] || COLOURS[0];
    cell.append(chip, relativePath(node));
  }
  const sizeColumns = [
    { title: data.measure === "logical" ? "Logical" : "On disk", number: true,
      key: (n) => size[n], show: (n, cell) => { cell.textContent = humanSize(size[n]); } },
    { title: data.measure === "logical" ? "On disk" : "Logical", number: true,
      key: (n) => otherSize[n], show: (n, cell) => { cell.textContent = humanSize(otherSize[n]); } },
    { title: "Share", number: true, key: (n) => size[n],
      show: (n, cell) => { cell.textContent = percent(size[n], size[view]); } },
  ];

  function showTables() {
    const folders = largest((n) => category[n] === CATEGORY_FOLDER || category[n] === CATEGORY_DRIVE,
                            15);
    sortableTable(document.getElementById("folders-table"), [
      { title: "Folder", className: "name", key: (n) => relativePath(n), show: nameCell },
      ...sizeColumns,
      { title: "Entries", number: true, key: (n) => childCount[n],
        show: (n, cell) => { cell.textContent = grouped(childCount[n]); } },
    ], folders, (n) => zoomTo(n));
    const files = largest((n) => isFile(n), 50);
    sortableTable(document.getElementById("files-table"), [
      { title: "File", className: "name", key: (n) => relativePath(n), show: nameCell },
      sizeColumns[0],
      sizeColumns[1],
      { title: "Kind", key: (n) => categoryName(category[n]),
        show: (n, cell) => { cell.textContent = categoryName(category[n]); } },
    ], files, (n) => zoomTo(parent[n]));
  }

  function zoomTo(node, remember = true) {
    if (node < 0 || node >= count || (!isContainer(node) && node !== 0)) return;
    if (remember && node !== view) {
      try { history.pushState({ view: node }, ""); } catch (ignored) { /* a sandboxed page */ }
    }
    view = node;
    hovered = null;
    tooltip.hidden = true;
    layout();
    draw();
    drawOverlay();
    showBreadcrumb();
    showLegend();
    showTables();
  }

  try { history.replaceState({ view: 0 }, ""); } catch (ignored) { /* a sandboxed page */ }
  zoomTo(0, false);
  // When the page got how far, in milliseconds since the navigation started.
  const drawnAt = performance.now();
  document.body.dataset.startedMillis = startedAt.toFixed(0);
  document.body.dataset.decodedMillis = decodedAt.toFixed(0);
  document.body.dataset.drawnMillis = drawnAt.toFixed(0);
  requestAnimationFrame(() => {
    document.body.dataset.paintedMillis = performance.now().toFixed(0);
  });

  // ===== Self-check =====

  const blocked = [];
  document.addEventListener("securitypolicyviolation", (event) => blocked.push(event.blockedURI));

  function rectangles(root) {
    const total = width * height;
    return (root.children || []).map((n) => ({
      name: nameOfNode(n.data),
      path: pathOf(n.data),
      category: category[n.data],
      size: size[n.data],
      areaShare: ((n.x1 - n.x0) * (n.y1 - n.y0)) / total,
    }));
  }

  // Every laid-out node's area against its size, and d3's sums against the page's sizes.
  function checkAreas() {
    const total = width * height;
    let checked = 0;
    let worst = 0;
    const problems = [];
    layoutRoot.each((n) => {
      if (Math.abs(n.value - size[n.data]) > 0.5) {
        problems.push(pathOf(n.data) + ": laid out as " + n.value + " bytes, not " + size[n.data]);
      }
      if (size[view] === 0) return;
      const expected = size[n.data] / size[view] * total;
      if (expected < 1) return;
      const actual = (n.x1 - n.x0) * (n.y1 - n.y0);
      worst = Math.max(worst, Math.abs(actual - expected) / expected);
      checked++;
    });
    return { checked, worstRelativeError: worst, problems };
  }

  function selfTest() {
    const result = { drawnMillis: drawnAt, shown: count, entries: data.entries, merged: data.merged };
    result.title = document.title;
    result.notice = document.getElementById("notice").hidden ? "" :
        document.getElementById("notice").textContent;
    result.view = pathOf(view);
    result.areas = checkAreas();
    result.rectangles = rectangles(layoutRoot);
    result.legend = [...legend.children].map((item) => item.textContent);
    result.folderRows = document.querySelectorAll("#folders-table tbody tr").length;
    result.fileRows = document.querySelectorAll("#files-table tbody tr").length;
    // A click on the largest folder's rectangle zooms into it.
    const folder = (layoutRoot.children || []).find((n) => n.children);
    if (folder) {
      const box = canvas.getBoundingClientRect();
      canvas.dispatchEvent(new MouseEvent("click", {
        bubbles: true,
        clientX: box.left + (folder.x0 + folder.x1) / 2,
        clientY: box.top + (folder.y0 + folder.y1) / 2,
      }));
      result.zoom = {
        view: pathOf(view),
        breadcrumb: [...breadcrumb.querySelectorAll(".step, .current")].map((s) => s.textContent),
        areas: checkAreas(),
        rectangles: rectangles(layoutRoot),
      };
      // Hovering over the largest entry shows its path and sizes.
      const largestChild = layoutRoot.children ? layoutRoot.children[0] : null;
      if (largestChild) {
        canvas.dispatchEvent(new MouseEvent("mousemove", {
          bubbles: true,
          clientX: box.left + (largestChild.x0 + largestChild.x1) / 2,
          clientY: box.top + (largestChild.y0 + largestChild.y1) / 2,
        }));
        result.zoom.tooltip = tooltip.hidden ? [] :
            [...tooltip.children].map((line) => line.textContent);
      }
      breadcrumb.querySelector(".step").click();
      result.afterBack = pathOf(view);
    }
    // Sorting the files table by name puts its rows in order.
    const fileHeading = document.querySelector("#files-table th");
    if (fileHeading) {
      fileHeading.click();
      const shownNames = [...document.querySelectorAll("#files-table tbody td.name")]
                             .map((cell) => cell.textContent);
      result.filesSortedByName = shownNames.every((name, k) => k === 0 || shownNames[k - 1] <= name);
    }
    result.resourcesLoaded = performance.getEntriesByType("resource").map((entry) => entry.name);
    result.blocked = blocked;
    const out = document.getElementById("selftest");
    out.textContent = JSON.stringify(result);
  }

  if (location.hash === "#selftest") selfTest();
})();
