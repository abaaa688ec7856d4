#include "zuv/pages/pipeline_page.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>

#include "graph/layered_layout.hpp"
#include "zuv/pages/html_text.hpp"
#include "zuv/text/line_edits.hpp"

namespace zuv::page {

namespace {

using html::append_escaped;

// Drawing sizes, in pixels.
constexpr double kNodeWidth = 150, kNodeHeight = 30;
constexpr double kLayerGap = 44, kRowGap = 14, kMargin = 20;
// Long edges: lanes this far apart outside the layers; where they cross a
// gap between layers, their vertical runs are spread over a few columns.
constexpr double kLaneGap = 10, kLaneColumn = 8, kLaneEndShift = 7;
constexpr std::size_t kLaneColumns = 4;
constexpr std::size_t kLabelChars = 18;

struct StatusStyle {
  Status status;
  const char* css;   // class suffix
  const char* word;  // shown to the reader
  const char* tag;   // one-character mark inside the node
};

constexpr std::array<StatusStyle, 5> kStatusStyles{{
    {Status::unchanged, "same", "unchanged", ""},
    {Status::added, "add", "added", "+"},
    {Status::removed, "del", "removed", "\xE2\x88\x92"},
    {Status::modified, "mod", "modified", "~"},
    {Status::missing, "miss", "missing parent", "?"},
}};

const StatusStyle& style(Status status) {
  for (const StatusStyle& s : kStatusStyles)
    if (s.status == status) return s;
  return kStatusStyles[0];
}

struct EdgeStyle {
  EdgeStatus status;
  const char* css;
  const char* word;
  const char* plural;  // "N ... " in the summary
};

constexpr std::array<EdgeStyle, 4> kEdgeStyles{{
    {EdgeStatus::unchanged, "same", "edge", "edges"},
    {EdgeStatus::added, "add", "edge added", "edges added"},
    {EdgeStatus::removed, "del", "edge removed", "edges removed"},
    {EdgeStatus::lost, "lost", "edge lost by the merge", "edges lost by the merge"},
}};

const EdgeStyle& edge_style(EdgeStatus status) {
  for (const EdgeStyle& s : kEdgeStyles)
    if (s.status == status) return s;
  return kEdgeStyles[0];
}

constexpr std::string_view kStyle = R"css(
:root{font:14px/1.45 system-ui,-apple-system,"Segoe UI",sans-serif;color:#1f2328;background:#fff}
body{margin:0 auto;max-width:1800px;padding:16px 24px}
h1{font-size:20px;margin:0 0 2px}h2{font-size:16px;margin:24px 0 8px;border-bottom:1px solid #d0d7de;padding-bottom:4px}
.sub{color:#59636e;margin:0 0 8px}code,.t{font-family:ui-monospace,"DejaVu Sans Mono",Menlo,monospace;font-size:12.5px}
.summary span{margin-right:14px}.legend{display:flex;flex-wrap:wrap;gap:14px;margin:8px 0;color:#59636e;font-size:13px}
.legend i{display:inline-block;width:14px;height:14px;border:2px solid;border-radius:3px;vertical-align:-3px;margin-right:5px}
.legend b{display:inline-block;width:22px;border-top:3px solid;vertical-align:4px;margin-right:5px}
.graph{overflow:auto;max-height:72vh;border:1px solid #d0d7de;border-radius:8px;background:#f6f8fa}
.graph.live{overflow:hidden;cursor:grab;touch-action:none}
.graph:focus-visible{outline:2px solid #0969da}.graph.drag{cursor:grabbing}.graph svg{display:block}
.gbar{display:flex;flex-wrap:wrap;align-items:center;gap:6px;margin:6px 0}.gbar button{font:inherit;font-size:13px;padding:2px 10px;border:1px solid #d0d7de;border-radius:6px;background:#f6f8fa;cursor:pointer}
.gbar .at{min-width:5em;color:#59636e;font-size:13px}.gbar .keys{margin-left:auto;color:#59636e;font-size:12px}
svg.compact .vf,svg:not(.compact) .vc,svg.compact .in-run:not(.open),.run.open{display:none}.n.chg rect{stroke-width:calc(2.5px*var(--k,1))}.n.chg.cf rect{stroke-width:calc(3.5px*var(--k,1))}.n.cur rect{stroke:#0969da;stroke-width:calc(4px*var(--k,1))}
.run{cursor:pointer}.run rect{fill:#eaeef2;stroke:#8c959f;stroke-width:1.6;stroke-dasharray:5 3}.run:hover rect,.run:focus-visible rect{stroke-width:3}
svg text{font:12.5px system-ui,sans-serif;fill:#1f2328;pointer-events:none}svg .tag{font-weight:700;text-anchor:end}
.n rect{stroke-width:1.6;fill:#fff}.n:hover rect{stroke-width:3}
.st-same{--f:#ffffff;--s:#8c959f}.st-add{--f:#dafbe1;--s:#1a7f37}.st-del{--f:#ffebe9;--s:#cf222e}
.st-mod{--f:#fff8c5;--s:#9a6700}.st-miss{--f:#ffffff;--s:#59636e}
.n rect,.legend i{fill:var(--f);background:var(--f);stroke:var(--s);border-color:var(--s)}
.st-miss rect{stroke-dasharray:4 3}.rn rect{stroke:#0969da;stroke-width:2.5}.lg-rn{border-color:#0969da!important}.cf rect{stroke:#8250df;stroke-width:3.5}.cf .tag{fill:#8250df}
path.e{fill:none;stroke-width:1.5}.e-same{stroke:#8c959f;marker-end:url(#m-same)}
.e-add{stroke:#1a7f37;stroke-width:2.5;marker-end:url(#m-add)}.e-del{stroke:#cf222e;stroke-dasharray:6 4;marker-end:url(#m-del)}
.e-lost{stroke:#cf222e;stroke-width:3;stroke-dasharray:2 3;marker-end:url(#m-lost)}.e.cyc{stroke-opacity:.75}
.legend .lg-same{border-color:#8c959f}.legend .lg-add{border-color:#1a7f37}.legend .lg-del{border-color:#cf222e;border-top-style:dashed}
.legend .lg-lost{border-color:#cf222e;border-top-style:dotted}.lg-cf{border-color:#8250df!important;border-width:3px!important}
.cell{content-visibility:auto;contain-intrinsic-size:auto 220px;border:1px solid #d0d7de;border-left:6px solid var(--s);border-radius:6px;margin:10px 0;background:#fff}
.cell>summary{cursor:pointer;padding:6px 10px;background:var(--f);border-radius:0 6px 0 0}
.cell .body{padding:6px 10px}.cell.hl{box-shadow:0 0 0 3px #54aeff66}.cell.cf{border-left-color:#8250df}
.badge{font-size:12px;border:1px solid var(--s);color:var(--s);border-radius:10px;padding:0 7px;margin-left:8px}
.badge.cf{--s:#8250df}.badge.rn{--s:#0969da}ul.chg{margin:2px 0 6px;padding-left:18px;font-family:ui-monospace,monospace;font-size:12.5px}.chip{border-radius:10px;padding:0 7px;margin:0 3px;font-size:12.5px}
.chip.add{background:#dafbe1}.chip.del{background:#ffebe9;text-decoration:line-through}
table.src{border-collapse:collapse;width:100%;margin:6px 0}table.src td{padding:0 6px;vertical-align:top}
.ln{color:#8c959f;text-align:right;width:1%;user-select:none;font-size:12px;font-family:ui-monospace,monospace}
.t{white-space:pre-wrap;word-break:break-all}tr.a{background:#e6ffec}tr.d{background:#ffebe9}tr.g td{color:#8c959f;background:#f6f8fa}
table.par{border-collapse:collapse}table.par th,table.par td{border:1px solid #d0d7de;padding:2px 8px;text-align:left}
table.par tr.same td{color:#59636e}table.par tr.cf td:first-child{border-left:4px solid #8250df}
.notes li{margin:3px 0}ul.plain{columns:3 260px;padding-left:18px}ul.plain li{content-visibility:auto;contain-intrinsic-size:auto 20px}li.hl{background:#ddf4ff}
)css";

constexpr std::string_view kScript = R"js(
(function(){var last=null;
function show(){var id=location.hash.slice(1),t=id&&document.getElementById(id);if(!t)return;
for(var e=t;e;e=e.parentElement)if(e.tagName==='DETAILS')e.open=true;
if(last)last.classList.remove('hl');t.classList.add('hl');last=t;t.scrollIntoView({block:'start'});}
window.addEventListener('hashchange',show);show();
window.addEventListener('load',function(){document.documentElement.setAttribute('data-load-ms',performance.now().toFixed(1));});
var box=document.querySelector('.gv .graph'),svg=box&&box.querySelector('svg');if(!svg)return;
var bar=document.querySelector('.gv .gbar'),at=bar.querySelector('.at'),runs=bar.querySelector('[data-do=runs]');
var NW=150,NH=30,W=1,H=1,s=1,least=1,vx=0,vy=0,changes=[],cur=-1,fitted=true;
function size(){var d=svg.getAttribute(svg.classList.contains('compact')?'data-compact':'data-full').split(' ');W=+d[0];H=+d[1];}
function pos(g){var m=/translate\(([-0-9.]+) ([-0-9.]+)\)/.exec(g.getAttribute('transform'));return[+m[1],+m[2]];}
function draw(){var cw=box.clientWidth,ch=box.clientHeight;svg.setAttribute('width',cw);svg.setAttribute('height',ch);
svg.setAttribute('viewBox',vx+' '+vy+' '+cw/s+' '+ch/s);box.setAttribute('data-scale',s);
svg.style.setProperty('--k',Math.max(1,1/s));fitted=false;}
function fit(){var cw=box.clientWidth,room=Math.max(160,innerHeight*0.72);
// Tall enough for the graph fitted, and for a few rows of it at full size.
box.style.height=Math.min(room,Math.max(160,Math.min(H,360),H*Math.min(1,cw/W)))+'px';var ch=box.clientHeight;
s=least=Math.min(1,cw/W,ch/H);vx=(W-cw/s)/2;vy=(H-ch/s)/2;draw();fitted=true;}
function zoom(f,px,py){var cw=box.clientWidth,ch=box.clientHeight;if(px===undefined){px=cw/2;py=ch/2;}
var gx=vx+px/s,gy=vy+py/s;s=Math.min(4,Math.max(least/2,s*f));vx=gx-px/s;vy=gy-py/s;draw();}
function pan(dx,dy){vx+=dx/s;vy+=dy/s;draw();}
function centre(g){var p=pos(g);s=Math.max(s,1);vx=p[0]+NW/2-box.clientWidth/2/s;vy=p[1]+NH/2-box.clientHeight/2/s;draw();}
function collect(){var list=[].map.call(svg.querySelectorAll('.n.chg'),function(g){return[pos(g),g];});
list.sort(function(a,b){return a[0][0]-b[0][0]||a[0][1]-b[0][1];});changes=list.map(function(e){return e[1];});
cur=-1;at.textContent=changes.length+(changes.length===1?' change':' changes');}
function go(d){if(!changes.length)return;if(cur>=0)changes[cur].classList.remove('cur');
cur=cur<0?(d>0?0:changes.length-1):(cur+d+changes.length)%changes.length;
changes[cur].classList.add('cur');at.textContent=(cur+1)+' / '+changes.length;centre(changes[cur]);}
// A run opens alone, in place: the layers after a chain's (the rows below a
// stretch's) move over by the room its cells take, and the edges with them.
var step=(svg.getAttribute('data-step')||'0 0').split(' ').map(Number),open={};
var runNodes=[].slice.call(svg.querySelectorAll('.run')),members=runNodes.map(function(){return[];});
var placed=[].slice.call(svg.querySelectorAll('.n[data-f],.run')),cedges=[].slice.call(svg.querySelectorAll('.edges.vc path'));
placed.forEach(function(g){g.zc=pos(g);var f=g.getAttribute('data-f');if(f)g.zf=f.split(' ').map(Number);});
[].forEach.call(svg.querySelectorAll('.n[data-m]'),function(g){var m=g.getAttribute('data-m').split(' ');members[+m[0]][+m[1]]=g;g.zf=pos(g);});
cedges.forEach(function(e){e.zd=e.getAttribute('d');});
var SVGNS='http://www.w3.org/2000/svg',links=document.createElementNS(SVGNS,'g');
if(runNodes.length){links.setAttribute('class','edges vc');svg.insertBefore(links,svg.querySelector('.nodes'));}
// Moves along one axis: [from, by] pairs, one move per place (the largest).
function mover(list){list.sort(function(a,b){return a[0]-b[0];});var t=[],sum=[0];
list.forEach(function(e){var k=t.length;if(k&&t[k-1]===e[0])sum[k]=Math.max(sum[k],sum[k-1]+e[1]);else{t.push(e[0]);sum.push(sum[k]+e[1]);}});
return function(v){var lo=0,hi=t.length;while(lo<hi){var m=(lo+hi)>>1;if(t[m]+0.5<v)lo=m+1;else hi=m;}return sum[lo];};}
function put(g,x,y){g.setAttribute('transform','translate('+x+' '+y+')');}
function layout(){var compact=svg.classList.contains('compact'),xs=[],ys=[];size();
for(var r in open){var c=runNodes[r].zc,k=members[r].length;
if(runNodes[r].hasAttribute('data-axis'))ys.push([c[1]+NH,(k-1)*step[1]]);else xs.push([c[0]+NW,(k-1)*step[0]]);}
var sx=mover(xs),sy=mover(ys);
placed.forEach(function(g){if(compact)put(g,g.zc[0]+sx(g.zc[0]),g.zc[1]+sy(g.zc[1]));else if(g.zf)put(g,g.zf[0],g.zf[1]);});
links.textContent='';
runNodes.forEach(function(g,r){var o=compact&&!!open[r],down=g.hasAttribute('data-axis'),x=g.zc[0]+sx(g.zc[0]),y=g.zc[1]+sy(g.zc[1]);
g.classList.toggle('open',o);members[r].forEach(function(m,i){m.classList.toggle('open',o);
if(!o){put(m,m.zf[0],m.zf[1]);return;}var mx=down?x:x+i*step[0],my=down?y+i*step[1]:y;put(m,mx,my);
if(!i||down)return;var e=document.createElementNS(SVGNS,'path');e.setAttribute('class','e e-same');
e.setAttribute('d','M'+(mx-step[0]+NW)+' '+(my+NH/2)+'L'+mx+' '+(my+NH/2));links.appendChild(e);});});
// An edge out of an open chain leaves its last cell (a path starts at its source).
if(compact)cedges.forEach(function(e){var r=e.getAttribute('data-r'),by=r!==null&&open[r]&&!runNodes[r].hasAttribute('data-axis')?(members[r].length-1)*step[0]:0;
e.setAttribute('d',e.zd.replace(/(-?[0-9.]+) (-?[0-9.]+)/g,function(_,x,y){x=+x;y=+y;var from=x+sx(x)+by;by=0;
return from+' '+(y+sy(y));}));});
if(compact){W+=sx(Infinity);H+=sy(Infinity);}}
function toggle(){var compact=!svg.classList.contains('compact');svg.classList.toggle('compact',compact);open={};
runs.textContent=compact?'show unchanged runs':'collapse unchanged runs';if(cur>=0)changes[cur].classList.remove('cur');layout();collect();fit();}
var acts={prev:function(){go(-1);},next:function(){go(1);},'in':function(){zoom(1.25);},out:function(){zoom(0.8);},fit:fit,runs:toggle};
bar.addEventListener('click',function(e){var b=e.target.closest('button');if(b&&acts[b.getAttribute('data-do')])acts[b.getAttribute('data-do')]();});
var drag=null,moved=false;
box.addEventListener('pointerdown',function(e){if(e.button)return;drag=[e.clientX,e.clientY];moved=false;});
window.addEventListener('pointermove',function(e){if(!drag)return;var dx=e.clientX-drag[0],dy=e.clientY-drag[1];
if(!moved&&Math.abs(dx)+Math.abs(dy)<4)return;moved=true;box.classList.add('drag');drag=[e.clientX,e.clientY];pan(-dx,-dy);});
function drop(){drag=null;box.classList.remove('drag');}
window.addEventListener('pointerup',drop);window.addEventListener('pointercancel',drop);
box.addEventListener('dragstart',function(e){e.preventDefault();});
box.addEventListener('click',function(e){if(moved){moved=false;e.preventDefault();e.stopPropagation();return;}
var r=e.target.closest('.run');if(r)expand(r);},true);
function expand(r){open[r.getAttribute('data-run')]=true;if(cur>=0)changes[cur].classList.remove('cur');layout();collect();fit();
var g=svg.querySelector('a[href="#'+r.getAttribute('data-to')+'"] > g');if(g)centre(g);}
box.addEventListener('wheel',function(e){e.preventDefault();var r=box.getBoundingClientRect();
zoom(Math.exp(-e.deltaY*0.0015),e.clientX-r.left,e.clientY-r.top);},{passive:false});
var keys={n:acts.next,p:acts.prev,'+':acts['in'],'=':acts['in'],'-':acts.out,'0':fit};
var arrows={ArrowLeft:[-80,0],ArrowRight:[80,0],ArrowUp:[0,-80],ArrowDown:[0,80]};
document.addEventListener('keydown',function(e){if(e.ctrlKey||e.metaKey||e.altKey)return;
if(/^(INPUT|TEXTAREA|SELECT)$/.test(e.target.tagName))return;
var r=e.target.closest&&e.target.closest('.run');if(r&&(e.key==='Enter'||e.key===' ')){expand(r);e.preventDefault();return;}
if(keys[e.key])keys[e.key]();else if(arrows[e.key]&&document.activeElement===box)pan(arrows[e.key][0],arrows[e.key][1]);else return;e.preventDefault();});
// A resized window keeps the reader's view unless it is the fitted one.
window.addEventListener('resize',function(){if(fitted)fit();else draw();});box.classList.add('live');size();collect();fit();
})();
)js";

// A cell's status as the graph's tooltip says it: a cell in conflict
// unchanged against the current version is simply in conflict.
std::string status_words(const CellEntry& cell) {
  if (!cell.conflict) return style(cell.status).word;
  if (cell.status == Status::unchanged) return "in conflict";
  return std::string(style(cell.status).word) + ", in conflict";
}

// Whether a panel of the cell sets its versions side by side, which says
// more than its diff against the current version.
bool compares_sources(const CellEntry& cell) {
  for (const ConflictPanel& panel : cell.panels)
    if (panel.left && panel.right) return true;
  return false;
}

bool offers_choices(const Page& page) {
  for (const Note& note : page.notes)
    if (!note.choices.empty()) return true;
  return false;
}

void append_number(std::string& out, double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f", value);
  std::string_view text(buffer);
  if (text.ends_with(".0")) text.remove_suffix(2);
  out += text;
}

void append_size(std::string& out, std::size_t value) { out += std::to_string(value); }

void append_anchor(std::string& out, std::size_t cell) {
  out += 'c';
  out += std::to_string(cell);
}

struct Point {
  double x, y;
};

constexpr std::size_t kNone = static_cast<std::size_t>(-1);
// Chains of at least this many unchanged cells are drawn as one node.
constexpr std::size_t kRunMin = 4;

// A cell the page lists under "Changed cells" and "next change" visits.
bool changed(const CellEntry& cell) {
  return cell.status != Status::unchanged || cell.conflict || !cell.gained.empty() ||
         !cell.lost.empty() || !cell.notes.empty() || cell.renamed || !cell.changes.empty();
}

using Run = std::vector<std::size_t>;

// Maximal chains of unchanged cells in which each cell is the only child of
// the one before and that one its only parent, of kRunMin cells or more, in
// chain order; and, as a plain notebook's cells have no edges, maximal
// stretches of unchanged cells without edges in notebook order.
// Collapsing either into one node changes no other edge.  Linear: each cell
// is walked by at most one run.
std::vector<Run> unchanged_runs(const Page& page) {
  const std::size_t n = page.cells.size();
  std::vector<std::size_t> in(n), out(n), parent(n, kNone), child(n, kNone);
  std::vector<bool> looped(n);
  for (const EdgeEntry& e : page.edges) {
    if (e.parent == e.child) {
      looped[e.parent] = true;
      continue;
    }
    ++out[e.parent], ++in[e.child];
    child[e.parent] = e.child, parent[e.child] = e.parent;
  }
  auto eligible = [&](std::size_t v) { return !looped[v] && !changed(page.cells[v]); };
  auto continues = [&](std::size_t v) {  // v extends the chain of its one parent
    return in[v] == 1 && eligible(parent[v]) && out[parent[v]] == 1;
  };
  std::vector<Run> runs;
  for (std::size_t v = 0; v < n; ++v) {
    if (!eligible(v) || continues(v)) continue;
    Run run{v};
    for (std::size_t u = v; out[u] == 1 && eligible(child[u]) && continues(child[u]);) {
      u = child[u];
      run.push_back(u);
    }
    if (run.size() >= kRunMin) runs.push_back(std::move(run));
  }
  Run alone;
  for (std::size_t v = 0; v <= n; ++v) {
    if (v < n && in[v] == 0 && out[v] == 0 && eligible(v)) {
      alone.push_back(v);
      continue;
    }
    if (alone.size() >= kRunMin) runs.push_back(alone);
    alone.clear();
  }
  return runs;
}

// One drawing of the graph: every cell a node, or each run as one node.
struct View {
  graph::LayeredLayout layout;
  std::vector<std::size_t> edges;          // per layout edge: its page edge
  std::vector<std::size_t> node_of;        // per page cell: its node (a run member: the run's)
  std::vector<std::size_t> run_node;       // per run: its node
  double top = kMargin, bottom = kMargin;  // the band the layers occupy
  double width = 0, height = 0;
};

Point node_corner(const View& view, std::size_t v) {
  return {kMargin + static_cast<double>(view.layout.layer[v]) * (kNodeWidth + kLayerGap),
          view.top + view.layout.offset[v] * (kNodeHeight + kRowGap)};
}

// The edges between consecutive members of a run disappear into its node;
// every other edge joins the nodes its cells are drawn in.
View make_view(const Page& page, const std::vector<Run>& runs) {
  View view;
  const std::size_t n = page.cells.size();
  std::vector<std::size_t> run_of(n, kNone), next_member(n, kNone);
  for (std::size_t r = 0; r < runs.size(); ++r)
    for (std::size_t k = 0; k < runs[r].size(); ++k) {
      run_of[runs[r][k]] = r;
      if (k + 1 < runs[r].size()) next_member[runs[r][k]] = runs[r][k + 1];
    }
  view.node_of.assign(n, kNone);
  view.run_node.assign(runs.size(), kNone);
  std::size_t count = 0;
  for (std::size_t v = 0; v < n; ++v) {  // in page order, a run where it first appears
    const std::size_t r = run_of[v];
    if (r == kNone)
      view.node_of[v] = count++;
    else
      view.node_of[v] = view.run_node[r] != kNone ? view.run_node[r] : (view.run_node[r] = count++);
  }
  std::vector<graph::Edge> edges;
  edges.reserve(page.edges.size());
  for (std::size_t i = 0; i < page.edges.size(); ++i) {
    const EdgeEntry& e = page.edges[i];
    if (next_member[e.parent] == e.child) continue;
    edges.push_back({view.node_of[e.parent], view.node_of[e.child]});
    view.edges.push_back(i);
  }
  view.layout = graph::layered_layout(count, edges);

  view.top = kMargin + kLaneGap * static_cast<double>(view.layout.lanes_above);
  view.bottom = view.top;
  view.width = kMargin * 2;
  for (std::size_t v = 0; v < view.layout.layer.size(); ++v) {
    const Point c = node_corner(view, v);
    view.width = std::max(view.width, c.x + kNodeWidth + kMargin);
    view.bottom = std::max(view.bottom, c.y + kNodeHeight);
  }
  view.height = view.bottom + kLaneGap * static_cast<double>(view.layout.lanes_below) + kMargin;
  return view;
}

class Writer {
 public:
  Writer(const Page& page, std::string& out) : page_(page), out_(out) {}

  void graph();
  void legend();
  void summary();
  void notes();
  void parameters();
  void cells();

 private:
  void toolbar();
  void edges(const View& view, const char* css);
  void edge_path(const View& view, std::size_t index);
  void loop_path(Point corner);
  void lane_path(const View& view, std::size_t index);
  void layered_path(const View& view, std::size_t index);
  void edge_end(const EdgeEntry& edge);
  void point(char command, Point p);
  void node(std::size_t v);
  void run_node(std::size_t r, Point corner);
  void source_diff(const CellEntry& cell);
  void parent_chips(const char* heading, const std::vector<ParentRef>& refs, const char* css);
  void cell_section(std::size_t index);

  const Page& page_;
  std::string& out_;
  std::vector<Run> runs_;
  std::vector<bool> in_run_;                     // per cell
  std::vector<std::size_t> run_of_, member_at_;  // per cell in a run: the run, its place there
  std::vector<bool> stacked_;  // per run: cells without edges (opened down, not along)
  View full_, compact_;        // compact_: drawn first, when there are runs
};

void Writer::summary() {
  std::array<std::size_t, kStatusStyles.size()> counts{};
  for (const CellEntry& cell : page_.cells)
    if (!cell.conflict) ++counts[static_cast<std::size_t>(cell.status)];
  std::array<std::size_t, kEdgeStyles.size()> edge_counts{};
  for (const EdgeEntry& edge : page_.edges) ++edge_counts[static_cast<std::size_t>(edge.status)];
  std::size_t changed_parameters = 0, conflicts = 0;
  for (const ParameterEntry& p : page_.parameters)
    changed_parameters += p.status != Status::unchanged && !p.conflict;
  for (const CellEntry& cell : page_.cells) conflicts += cell.conflict;
  out_ += "<p class=\"summary\">";
  for (const StatusStyle& s : kStatusStyles) {
    const std::size_t n = counts[static_cast<std::size_t>(s.status)];
    if (n == 0 && s.status == Status::missing) continue;
    out_ += "<span>";
    append_size(out_, n);
    out_ += ' ';
    out_ += s.word;
    out_ += "</span>";
  }
  for (const EdgeStyle& s : kEdgeStyles) {
    const std::size_t n = edge_counts[static_cast<std::size_t>(s.status)];
    if (n == 0 || s.status == EdgeStatus::unchanged) continue;
    out_ += "<span>";
    append_size(out_, n);
    out_ += ' ';
    out_ += n == 1 ? s.word : s.plural;
    out_ += "</span>";
  }
  if (changed_parameters > 0) {
    out_ += "<span>";
    append_size(out_, changed_parameters);
    out_ += changed_parameters == 1 ? " parameter changed" : " parameters changed";
    out_ += "</span>";
  }
  if (conflicts > 0) {
    out_ += "<span>";
    append_size(out_, conflicts);
    out_ += conflicts == 1 ? " cell in conflict" : " cells in conflict";
    out_ += "</span>";
  }
  if (!page_.conflict_summary.empty()) {
    out_ += "<span class=\"cf-total\">";
    append_escaped(out_, page_.conflict_summary);
    out_ += "</span>";
  }
  out_ += "</p>\n";
}

void Writer::legend() {
  // Kinds that only some pages have (missing parents, conflicts, lost
  // edges) are explained only where they occur.
  bool missing = false, conflict = false, lost = false, renamed = false;
  for (const CellEntry& cell : page_.cells)
    missing |= cell.status == Status::missing, conflict |= cell.conflict, renamed |= cell.renamed;
  for (const EdgeEntry& edge : page_.edges) lost |= edge.status == EdgeStatus::lost;
  out_ += "<div class=\"legend\">";
  for (const StatusStyle& s : kStatusStyles) {
    if (s.status == Status::missing && !missing) continue;
    out_ += "<span class=\"st-";
    out_ += s.css;
    out_ += "\"><i></i>";
    out_ += s.word;
    out_ += "</span>";
  }
  if (conflict) out_ += "<span><i class=\"lg-cf\"></i>conflict</span>";
  if (renamed) out_ += "<span><i class=\"lg-rn\"></i>renamed</span>";
  for (const EdgeStyle& s : kEdgeStyles) {
    if (s.status == EdgeStatus::lost && !lost) continue;
    out_ += "<span><b class=\"lg-";
    out_ += s.css;
    out_ += "\"></b>";
    out_ += s.word;
    out_ += "</span>";
  }
  out_ += "</div>\n";
}

// A long edge: out of its upper node's right side into the gap after it, to
// its lane, along the lane to the gap before its lower node, and in at that
// node's left side; listed from the edge's source to its target.
std::vector<Point> lane_points(const View& view, std::size_t index) {
  const graph::LayeredLayout& layout = view.layout;
  const auto& route = layout.routes[index];
  const bool reversed = layout.reversed[index];
  const std::size_t upper = reversed ? route.back() : route.front();
  const std::size_t lower = reversed ? route.front() : route.back();
  const std::size_t lane = layout.lane[index];
  const double lane_y = layout.lane_above[index]
                            ? view.top - kLaneGap * static_cast<double>(lane + 1)
                            : view.bottom + kLaneGap * static_cast<double>(lane + 1);
  const double column = kLaneColumn * static_cast<double>(1 + lane % kLaneColumns);
  // Ends a little off the middle, towards the lane, so that an edge coming
  // in from a lane stays apart from the edges between adjacent layers.
  const double shift = layout.lane_above[index] ? -kLaneEndShift : kLaneEndShift;
  const Point u = node_corner(view, upper), w = node_corner(view, lower);
  const double uy = u.y + kNodeHeight / 2 + shift, wy = w.y + kNodeHeight / 2 + shift;
  const double out_x = u.x + kNodeWidth + column, in_x = w.x - kLayerGap + column;
  std::vector<Point> points{{u.x + kNodeWidth, uy}, {out_x, uy}, {out_x, lane_y},
                            {in_x, lane_y},         {in_x, wy},  {w.x, wy}};
  if (reversed) std::reverse(points.begin(), points.end());
  return points;
}

// Attachment points of a short edge: the side of a real node that faces
// the next point, the middle of a dummy's slot; a run of dummies at one
// height is a straight line, so only its ends are kept.
std::vector<Point> layered_points(const View& view, std::size_t index) {
  const graph::LayeredLayout& layout = view.layout;
  const auto& route = layout.routes[index];
  std::vector<Point> points;
  points.reserve(route.size());
  for (std::size_t k = 0; k < route.size(); ++k) {
    const std::size_t v = route[k];
    const Point c = node_corner(view, v);
    const double y = c.y + kNodeHeight / 2;
    if (v >= layout.node_count) {
      points.push_back({c.x + kNodeWidth / 2, y});
      continue;
    }
    const std::size_t other = k == 0 ? route[1] : route[k - 1];
    const bool other_right = layout.layer[other] > layout.layer[v];
    points.push_back({other_right ? c.x + kNodeWidth : c.x, y});
  }
  std::vector<Point> kept;
  kept.reserve(points.size());
  for (std::size_t k = 0; k < points.size(); ++k) {
    const bool interior = k > 0 && k + 1 < points.size();
    if (interior && points[k - 1].y == points[k].y && points[k + 1].y == points[k].y) continue;
    kept.push_back(points[k]);
  }
  return kept;
}

void Writer::point(char command, Point p) {
  out_ += command;
  append_number(out_, p.x);
  out_ += ' ';
  append_number(out_, p.y);
}

void Writer::edge_path(const View& view, std::size_t index) {
  const EdgeEntry& edge = page_.edges[view.edges[index]];
  const auto& route = view.layout.routes[index];
  out_ += "<path class=\"e e-";
  out_ += edge_style(edge.status).css;
  if (view.layout.reversed[index]) out_ += " cyc";
  if (&view == &compact_ && run_of_[edge.parent] != kNone) {  // leaves a run's node
    out_ += "\" data-r=\"";
    append_size(out_, run_of_[edge.parent]);
  }
  out_ += "\" d=\"";
  if (route.size() == 1) {
    loop_path(node_corner(view, route.front()));
    out_ += "\"/>\n";
    return;
  }
  if (view.layout.lane[index] != graph::kNoLane)
    lane_path(view, index);
  else
    layered_path(view, index);
  edge_end(edge);
}

// A cell that is its own parent: a loop over the node.
void Writer::loop_path(Point corner) {
  const double x0 = corner.x + kNodeWidth - 40, x1 = corner.x + kNodeWidth - 12;
  point('M', {x0, corner.y});
  point('C', {x0, corner.y - 26});
  point(' ', {x1, corner.y - 26});
  point(' ', {x1, corner.y - 2});
}

// Straight runs with corners.
void Writer::lane_path(const View& view, std::size_t index) {
  const std::vector<Point> points = lane_points(view, index);
  point('M', points[0]);
  for (std::size_t k = 1; k < points.size(); ++k) point('L', points[k]);
}

// A curve through the attachment points, leaving and entering each level.
void Writer::layered_path(const View& view, std::size_t index) {
  const std::vector<Point> points = layered_points(view, index);
  point('M', points[0]);
  for (std::size_t k = 1; k < points.size(); ++k) {
    const Point p = points[k - 1], q = points[k];
    const double dx = (q.x - p.x) / 2;
    point('C', {p.x + dx, p.y});
    point(' ', {q.x - dx, q.y});
    point(' ', q);
  }
}

void Writer::edge_end(const EdgeEntry& edge) {
  if (edge.status == EdgeStatus::unchanged) {  // only changed edges explain themselves
    out_ += "\"/>\n";
    return;
  }
  out_ += "\"><title>";
  append_escaped(out_, label(page_.cells[edge.parent]));
  out_ += " \xE2\x86\x92 ";
  append_escaped(out_, label(page_.cells[edge.child]));
  out_ += " (";
  out_ += edge_style(edge.status).word;
  out_ += ")</title></path>\n";
}

void Writer::node(std::size_t v) {
  const CellEntry& cell = page_.cells[v];
  const StatusStyle& s = style(cell.status);
  // With runs the page opens collapsed: a node outside every run sits at
  // its collapsed place and keeps its full one for the switch (data-f); a
  // run's member, shown only in full, sits at its full place.
  const bool two_views = !runs_.empty();
  const bool member = two_views && in_run_[v];
  const View& view = two_views && !member ? compact_ : full_;
  const Point c = node_corner(view, view.node_of[v]);
  out_ += "<a href=\"#";
  append_anchor(out_, v);
  out_ += "\"><g class=\"n st-";
  out_ += s.css;
  if (cell.conflict) out_ += " cf";
  if (cell.renamed) out_ += " rn";
  if (changed(cell)) out_ += " chg";
  if (member) out_ += " in-run";
  out_ += "\" data-cell=\"";
  append_escaped(out_, cell.id);
  if (member) {  // its run and place in it, where opening the run alone puts it
    out_ += "\" data-m=\"";
    append_size(out_, run_of_[v]);
    out_ += ' ';
    append_size(out_, member_at_[v]);
  }
  if (two_views && !member) {
    const Point f = node_corner(full_, full_.node_of[v]);
    out_ += "\" data-f=\"";
    append_number(out_, f.x);
    out_ += ' ';
    append_number(out_, f.y);
  }
  out_ += "\" transform=\"translate(";
  append_number(out_, c.x);
  out_ += ' ';
  append_number(out_, c.y);
  out_ += ")\"><title>";
  append_escaped(out_, label(cell));
  out_ += " \xC2\xB7 ";
  append_escaped(out_, cell.id);
  out_ += " \xC2\xB7 ";
  out_ += status_words(cell);
  if (cell.renamed) {
    out_ += ", renamed from ";
    append_escaped(out_, cell.old_name.empty() ? "(unnamed)" : cell.old_name);
  }
  out_ += "</title><rect width=\"";
  append_number(out_, kNodeWidth);
  out_ += "\" height=\"";
  append_number(out_, kNodeHeight);
  out_ += "\" rx=\"6\"/><text x=\"10\" y=\"19.5\">";
  append_escaped(out_, html::shortened(label(cell), kLabelChars));
  out_ += "</text>";
  const char* tag = cell.conflict ? "!" : s.tag;
  if (*tag) {  // unchanged nodes, most of a large page, carry no mark
    out_ += "<text class=\"tag\" x=\"";
    append_number(out_, kNodeWidth - 8);
    out_ += "\" y=\"19.5\">";
    out_ += tag;
    out_ += "</text>";
  }
  out_ += "</g></a>\n";
}

// A collapsed run; a click opens it alone in place (a chain along its
// row, cells without edges down their column) and centres its first cell.
void Writer::run_node(std::size_t r, Point corner) {
  const Run& run = runs_[r];
  out_ += "<g class=\"run\" tabindex=\"0\" role=\"button\" data-run=\"";
  append_size(out_, r);
  if (stacked_[r]) out_ += "\" data-axis=\"y";
  out_ += "\" data-to=\"";
  append_anchor(out_, run.front());
  out_ += "\" transform=\"translate(";
  append_number(out_, corner.x);
  out_ += ' ';
  append_number(out_, corner.y);
  out_ += ")\"><title>";
  append_size(out_, run.size());
  out_ += " unchanged cells, ";
  append_escaped(out_, label(page_.cells[run.front()]));
  out_ += " to ";
  append_escaped(out_, label(page_.cells[run.back()]));
  out_ += " (click to show them)</title><rect width=\"";
  append_number(out_, kNodeWidth);
  out_ += "\" height=\"";
  append_number(out_, kNodeHeight);
  out_ += "\" rx=\"15\"/><text x=\"12\" y=\"19.5\">";
  append_size(out_, run.size());
  out_ += " unchanged cells</text></g>\n";
}

void Writer::toolbar() {
  out_ +=
      "<div class=\"gbar\"><button type=\"button\" data-do=\"prev\" title=\"previous change "
      "(p)\">\xE2\x97\x80 previous change</button><button type=\"button\" data-do=\"next\" "
      "title=\"next change (n)\">next change \xE2\x96\xB6</button><span class=\"at\"></span>"
      "<button type=\"button\" data-do=\"out\" title=\"zoom out (-)\">\xE2\x88\x92</button>"
      "<button type=\"button\" data-do=\"in\" title=\"zoom in (+)\">+</button>"
      "<button type=\"button\" data-do=\"fit\" title=\"whole graph (0)\">fit</button>";
  if (!runs_.empty())
    out_ += "<button type=\"button\" data-do=\"runs\">show unchanged runs</button>";
  out_ +=
      "<span class=\"keys\">wheel: zoom, drag: pan; keys n p + \xE2\x88\x92 0 and "
      "arrows</span></div>\n";
}

void Writer::edges(const View& view, const char* css) {
  out_ += "<g class=\"";
  out_ += css;
  out_ += "\">\n";
  for (std::size_t i = 0; i < view.edges.size(); ++i) edge_path(view, i);
  out_ += "</g>\n";
}

void Writer::graph() {
  full_ = make_view(page_, {});
  runs_ = unchanged_runs(page_);
  in_run_.assign(page_.cells.size(), false);
  run_of_.assign(page_.cells.size(), kNone);
  member_at_.assign(page_.cells.size(), kNone);
  for (std::size_t r = 0; r < runs_.size(); ++r)
    for (std::size_t k = 0; k < runs_[r].size(); ++k) {
      in_run_[runs_[r][k]] = true;
      run_of_[runs_[r][k]] = r;
      member_at_[runs_[r][k]] = k;
    }
  // A chain's first cell has a child; a stretch of cells without edges none.
  std::vector<bool> linked(page_.cells.size(), false);
  for (const EdgeEntry& e : page_.edges) linked[e.parent] = linked[e.child] = true;
  stacked_.clear();
  for (const Run& run : runs_) stacked_.push_back(!linked[run.front()]);
  if (!runs_.empty()) compact_ = make_view(page_, runs_);
  const View& first = runs_.empty() ? full_ : compact_;

  out_ += "<div class=\"gv\">";
  toolbar();
  out_ += "<div class=\"graph\" tabindex=\"0\"><svg xmlns=\"http://www.w3.org/2000/svg\" width=\"";
  append_number(out_, first.width);
  out_ += "\" height=\"";
  append_number(out_, first.height);
  out_ += "\" viewBox=\"0 0 ";
  append_number(out_, first.width);
  out_ += ' ';
  append_number(out_, first.height);
  out_ += "\" data-full=\"";
  append_number(out_, full_.width);
  out_ += ' ';
  append_number(out_, full_.height);
  if (!runs_.empty()) {
    out_ += "\" data-compact=\"";
    append_number(out_, compact_.width);
    out_ += ' ';
    append_number(out_, compact_.height);
    out_ += "\" data-step=\"";  // from one layer, and one row, to the next
    append_number(out_, kNodeWidth + kLayerGap);
    out_ += ' ';
    append_number(out_, kNodeHeight + kRowGap);
    out_ += "\" class=\"compact";
  }
  out_ += "\" role=\"img\" aria-label=\"pipeline graph\"><defs>";
  constexpr std::array<std::pair<const char*, const char*>, 4> kMarkers{
      {{"same", "#8c959f"}, {"add", "#1a7f37"}, {"del", "#cf222e"}, {"lost", "#cf222e"}}};
  for (const auto& [css, colour] : kMarkers) {
    out_ += "<marker id=\"m-";
    out_ += css;
    out_ +=
        "\" viewBox=\"0 0 10 10\" refX=\"9\" refY=\"5\" markerWidth=\"7\" markerHeight=\"7\" "
        "orient=\"auto-start-reverse\"><path d=\"M0 0L10 5L0 10z\" fill=\"";
    out_ += colour;
    out_ += "\"/></marker>";
  }
  out_ += "</defs>\n";
  if (runs_.empty()) {
    edges(full_, "edges");
  } else {
    edges(compact_, "edges vc");
    edges(full_, "edges vf");
  }
  out_ += "<g class=\"nodes\">\n";
  for (std::size_t v = 0; v < page_.cells.size(); ++v) node(v);
  out_ += "</g>\n";
  if (!runs_.empty()) {
    out_ += "<g class=\"runs vc\">\n";
    for (std::size_t r = 0; r < runs_.size(); ++r)
      run_node(r, node_corner(compact_, compact_.run_node[r]));
    out_ += "</g>\n";
  }
  out_ += "</svg></div></div>\n";
}

void Writer::notes() {
  if (page_.notes.empty()) return;
  out_ += "<h2>";
  append_escaped(out_, page_.notes_heading);
  out_ += "</h2><ul class=\"notes\">\n";
  for (const Note& note : page_.notes) {
    out_ += "<li>";
    if (note.cell >= 0) {
      out_ += "<a href=\"#";
      append_anchor(out_, static_cast<std::size_t>(note.cell));
      out_ += "\">";
    }
    append_escaped(out_, note.text);
    if (note.cell >= 0) out_ += "</a>";
    append_choices(out_, note.choices);
    out_ += "</li>\n";
  }
  out_ += "</ul>\n";
}

void Writer::parameters() {
  if (page_.parameters.empty()) return;
  out_ +=
      "<h2 id=\"parameters\">Parameters</h2><table class=\"par\"><tr><th>name</th><th>status</th>"
      "<th>old type</th><th>old value</th><th>new type</th><th>new value</th></tr>\n";
  for (const ParameterEntry& p : page_.parameters) {
    out_ += "<tr class=\"";
    out_ += style(p.status).css;
    if (p.conflict) out_ += " cf";
    out_ += "\"><td><code>";
    append_escaped(out_, p.name);
    out_ += "</code></td><td>";
    out_ += p.conflict ? "conflict" : style(p.status).word;
    for (const std::string* text : {&p.old_type, &p.old_value, &p.new_type, &p.new_value}) {
      out_ += "</td><td><code>";
      append_escaped(out_, *text);
      out_ += "</code>";
    }
    out_ += "</td></tr>\n";
  }
  out_ += "</table>\n";
  for (const ConflictPanel& panel : page_.parameter_panels) append_panel(out_, panel);
}

void Writer::source_diff(const CellEntry& cell) {
  using text::LineKind;
  const auto rows = text::hunks(text::diff_lines(cell.old_source, cell.new_source));
  if (rows.empty()) return;
  out_ += "<table class=\"src\">\n";
  for (const text::DiffRow& row : rows) {
    switch (row.kind) {
      case LineKind::gap:
        out_ +=
            "<tr class=\"g\"><td class=\"ln\">\xE2\x8B\xAE</td><td "
            "class=\"ln\"></td><td></td><td></td></tr>\n";
        continue;
      case LineKind::same:
        out_ += "<tr><td class=\"ln\">";
        break;
      case LineKind::removed:
        out_ += "<tr class=\"d\"><td class=\"ln\">";
        break;
      case LineKind::added:
        out_ += "<tr class=\"a\"><td class=\"ln\">";
        break;
    }
    if (row.old_number) append_size(out_, row.old_number);
    out_ += "</td><td class=\"ln\">";
    if (row.new_number) append_size(out_, row.new_number);
    out_ += "</td><td class=\"ln\">";
    out_ += row.kind == LineKind::added ? "+" : row.kind == LineKind::removed ? "\xE2\x88\x92" : "";
    out_ += "</td><td class=\"t\">";
    const auto& lines = row.kind == LineKind::added ? cell.new_source : cell.old_source;
    append_escaped(out_, text::without_line_end(lines[row.line]));
    out_ += "</td></tr>\n";
  }
  out_ += "</table>\n";
}

void Writer::parent_chips(const char* heading, const std::vector<ParentRef>& refs,
                          const char* css) {
  if (refs.empty()) return;
  out_ += "<div>";
  out_ += heading;
  for (const ParentRef& ref : refs) {
    out_ += "<span class=\"chip ";
    out_ += css;
    out_ += "\" title=\"";
    append_escaped(out_, ref.id);
    out_ += "\">";
    append_escaped(out_, ref.name.empty() ? ref.id : ref.name);
    out_ += "</span>";
  }
  out_ += "</div>\n";
}

void Writer::cell_section(std::size_t index) {
  const CellEntry& cell = page_.cells[index];
  const StatusStyle& s = style(cell.status);
  out_ += "<details open class=\"cell st-";
  out_ += s.css;
  if (cell.conflict) out_ += " cf";
  out_ += "\" id=\"";
  append_anchor(out_, index);
  out_ += "\"><summary><strong>";
  append_escaped(out_, label(cell));
  out_ += "</strong> <code>";
  append_escaped(out_, cell.id);
  out_ += "</code>";
  if (!cell.conflict || cell.status != Status::unchanged) {
    out_ += "<span class=\"badge\">";
    out_ += s.word;
    out_ += "</span>";
  }
  if (cell.conflict) out_ += "<span class=\"badge cf\">conflict</span>";
  if (cell.renamed) {
    out_ += "<span class=\"badge rn\">renamed from <s>";
    append_escaped(out_, cell.old_name.empty() ? "(unnamed)" : cell.old_name);
    out_ += "</s></span>";
  }
  out_ += "</summary><div class=\"body\">\n";
  if (!cell.changes.empty()) {
    out_ += "<ul class=\"chg\">";
    for (const std::string& change : cell.changes) {
      out_ += "<li>";
      append_escaped(out_, change);
      out_ += "</li>";
    }
    out_ += "</ul>\n";
  }
  if (!cell.notes.empty()) {
    out_ += "<ul class=\"notes\">";
    for (const std::string& note : cell.notes) {
      out_ += "<li>";
      append_escaped(out_, note);
      out_ += "</li>";
    }
    out_ += "</ul>\n";
  }
  parent_chips("Parents gained:", cell.gained, "add");
  parent_chips("Parents lost:", cell.lost, "del");
  for (const ConflictPanel& panel : cell.panels) append_panel(out_, panel);
  if (cell.status != Status::missing && !compares_sources(cell)) source_diff(cell);
  out_ += "</div></details>\n";
}

void Writer::cells() {
  std::vector<std::size_t> quiet;
  out_ += "<h2>Changed cells</h2>\n";
  bool any = false;
  for (std::size_t i = 0; i < page_.cells.size(); ++i) {
    const CellEntry& cell = page_.cells[i];
    if (!changed(cell)) {
      quiet.push_back(i);
      continue;
    }
    any = true;
    cell_section(i);
  }
  if (!any) out_ += "<p class=\"sub\">No cell changed.</p>\n";
  if (quiet.empty()) return;
  out_ += "<details id=\"unchanged\"><summary>";
  append_size(out_, quiet.size());
  out_ += quiet.size() == 1 ? " unchanged cell" : " unchanged cells";
  out_ += "</summary><ul class=\"plain\">\n";
  for (std::size_t i : quiet) {
    out_ += "<li id=\"";
    append_anchor(out_, i);
    out_ += "\">";
    append_escaped(out_, label(page_.cells[i]));
    out_ += " <code>";
    append_escaped(out_, page_.cells[i].id);
    out_ += "</code></li>\n";
  }
  out_ += "</ul></details>\n";
}

}  // namespace

std::string label(const CellEntry& cell) {
  if (!cell.name.empty()) return cell.name;
  return cell.id.size() <= 12 ? cell.id : cell.id.substr(0, 12);
}

std::string render(const Page& page, const std::string& nonce) {
  std::string out;
  out.reserve(4096 + page.cells.size() * 600);
  html::append_page_head(out, page.title, nonce, {kStyle, kPanelStyle});
  if (!page.subtitle.empty()) {
    out += "<p class=\"sub\">";
    append_escaped(out, page.subtitle);
    out += "</p>\n";
  }
  Writer writer(page, out);
  writer.summary();
  writer.legend();
  writer.graph();
  writer.notes();
  writer.parameters();
  writer.cells();
  out += "<script nonce=\"";
  out += nonce;
  out += "\">";
  out += kScript;
  out += "</script>\n";
  if (offers_choices(page)) {
    out += "<script nonce=\"";
    out += nonce;
    out += "\">";
    out += kPanelScript;
    out += "</script>\n";
  }
  out += "</body></html>\n";
  return out;
}

}  // namespace zuv::page
