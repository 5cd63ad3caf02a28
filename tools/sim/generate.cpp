/* Random guides: a week of Spanish programme listings with summaries,
 * repeats that share a summary, long titles and the occasional duplicate. */
#include <stdio.h>

#include <map>

#include "guide.h"

namespace {

/* splitmix64: the same sequence for one seed on every platform. */
struct GenRandom {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  /* A number from 0 to "n" - 1 ("n" > 0). */
  uint32_t Below(uint32_t n) { return (uint32_t)(Next() % n); }
  bool Chance(double p) { return (double)(Next() >> 11) / 9007199254740992.0 < p; }
  template <size_t N>
  const char *Pick(const char *const (&pool)[N]) { return pool[Below(N)]; }
};

/* The source holds UTF-8; the tables carry ISO-8859-1. Every character of
 * the pools below lies in U+0000..U+00FF. */
std::string GenLatin1(const std::string &utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size(); i++) {
    unsigned char c = (unsigned char)utf8[i];
    if (c >= 0xC2 && c <= 0xC3 && i + 1 < utf8.size()) {
      out.push_back((char)(((c & 0x03) << 6) | ((unsigned char)utf8[i + 1] & 0x3F)));
      i++;
    } else {
      out.push_back((char)c);
    }
  }
  return out;
}

const char *const kChannelNames[] = {
    "Canal Uno",    "Canal Dos",     "Teleñorte",    "Cine Clásico", "Deportes 24",
    "Documanía",    "Música Plus",   "Infantil TV",  "Noticias 24h", "Viajes y Más",
    "Cocina Fácil", "Serie Época",   "Teatro Abierto", "Ciencia Hoy", "Cine Acción",
    "Humor Total",  "Natura",        "Historia Viva", "Telesur Ocio", "Golf y Tenis",
    "Motor Pasión", "Toros y Arte",  "Canal Andaluz", "Galicia Visión", "Cine Español",
    "Ópera y Más",  "Jazz Nocturno", "Dibujos Ñu",   "Caza y Pesca", "Canal Bolsa",
    "Moda Íntima",  "Canal Rural",   "Misterio TV",  "Cine Estreno", "Western Oeste",
    "Canal Fútbol", "Baloncesto+",   "Aventura",     "Telenovela",   "Canal Ciudad"};

const char *const kSeriesNames[] = {
    "La vecina del quinto piso", "Historias de la calle Mayor", "El reloj de la abuela Pilar",
    "Urgencias en San Telmo", "Los Ortega y sus líos", "El jinete de Castilla",
    "La casa de las buganvillas", "Amores en la posguerra", "El faro del olvido",
    "Comisaría de Lavapiés", "La redacción de medianoche", "La botica del barrio"};
const char *const kFilmNames[] = {
    "La ciudad de los espejos", "El verano de los girasoles", "Bienvenidos a Villanueva",
    "Mujeres en la azotea", "El sereno del pueblo", "Los pastores del norte",
    "Cinco apellidos y una boda", "El jardín del minotauro", "Volver a Sevilla",
    "La lengua de los pájaros", "Noche cerrada en Bilbao", "El día del eclipse"};
const char *const kShowNames[] = {
    "Noticias de las nueve", "El tiempo", "Crónica semanal", "España en directo", "Saber es ganar",
    "La palabra secreta", "La rueda de la fortuna", "Números y letras", "Corazón de prensa",
    "Deporte en acción", "Cumbres y abismos", "Ciencia para todos", "Documentos de la tarde",
    "El aula abierta", "Conciertos de medianoche", "Semana de cine", "Cocina con Martina",
    "Noticias de la mañana", "Libros y autores", "Reporteros en la calle"};
const char *const kSportNames[] = {
    "Fútbol: Liga, Real Club contra Atlético Norte", "Baloncesto: Copa de invierno",
    "Tenis: Torneo de la Meseta, semifinales", "Ciclismo: Vuelta, etapa de montaña",
    "Balonmano: Liga de primavera", "Motociclismo: Gran Premio del Sur"};

const char *const kSentences[] = {
    "Un día cualquiera en la vida de una familia de Valladolid cambia por completo.",
    "El inspector Gómez investiga la desaparición de un joyero en el barrio de Triana.",
    "Los concursantes se enfrentan a preguntas de geografía, historia y ciencia.",
    "Reportaje sobre la emigración española a Alemania en los años sesenta.",
    "La selección se juega el pase a la final en un partido lleno de emoción.",
    "Tras años de silencio, Lucía decide volver al pueblo donde creció.",
    "Recorrido por los Pirineos, desde Jaca hasta el valle de Arán, con sus gentes.",
    "El chef prepara una paella de marisco y un postre de crema catalana.",
    "Análisis de la actualidad económica con los mejores especialistas del país.",
    "Una comedia sobre dos hermanos que heredan una pensión en ruinas en Cádiz.",
    "Documental sobre el lince ibérico y su recuperación en Doñana.",
    "Entrevista a la directora de cine más premiada de la última década.",
    "Don Álvaro se niega a vender la finca y la tensión crece entre los vecinos.",
    "Las mejores jugadas de la jornada, con resúmenes, goles y opiniones.",
    "Concierto de la Orquesta Sinfónica con obras de Falla, Albéniz y Granados.",
    "Una noticia inesperada obliga a Ramón a replantearse su boda con Begoña.",
    "Mañana, cielos despejados en el sur y lluvias débiles en el Cantábrico.",
    "Los niños descubren un mapa antiguo en el desván de la abuela Concha.",
    "Crónica de la Guerra de la Independencia contada por sus protagonistas.",
    "Espacio dedicado a la música pop española de los años ochenta y noventa."};
const char *const kSubtitles[] = {
    "edición especial con todos los invitados y las mejores actuaciones",
    "versión restaurada en alta definición, con comentarios del director",
    "capítulo doble de estreno en exclusiva para toda la familia española"};

/* A programme title: a series episode, a film, a sport or a show; with
 * "long_title" one that runs past the 63 bytes of a 3-day entry. */
std::string GenTitle(GenRandom *rnd, bool long_title) {
  uint32_t kind = rnd->Below(10);
  std::string t;
  if (kind < 3) t = std::string(rnd->Pick(kSeriesNames)) + " (T" + std::to_string(1 + rnd->Below(9)) +
                    ", ep. " + std::to_string(1 + rnd->Below(24)) + ")";
  else if (kind < 5) t = std::string("Cine: ") + rnd->Pick(kFilmNames);
  else if (kind < 6) t = rnd->Pick(kSportNames);
  else t = rnd->Pick(kShowNames);
  if (long_title) t += ": " + std::string(rnd->Pick(kSubtitles));
  return GenLatin1(t);
}

/* Sentences split into lines of at most 255 bytes. */
std::vector<std::string> GenLines(GenRandom *rnd, int sentences) {
  std::vector<std::string> lines;
  std::string cur;
  for (int i = 0; i < sentences; i++) {
    std::string s = GenLatin1(rnd->Pick(kSentences));
    if (!cur.empty() && cur.size() + 1 + s.size() > 255) {
      lines.push_back(cur);
      cur.clear();
    }
    if (!cur.empty() && rnd->Chance(0.4)) {
      lines.push_back(cur);
      cur.clear();
    }
    cur += cur.empty() ? s : " " + s;
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

/* A line of exactly "n" bytes made of sentences. */
std::string GenFill(GenRandom *rnd, size_t n) {
  std::string out;
  while (out.size() < n) {
    if (!out.empty()) out.push_back(' ');
    out += GenLatin1(rnd->Pick(kSentences));
  }
  out.resize(n);
  if (!out.empty() && out.back() == ' ') out.back() = '.';
  return out;
}

}  // namespace

int GuideGenerate(const SimRandomShape &shape, SimGuide *guide) {
  GenRandom rnd{shape.seed * 0x2545F4914F6CDD1Dull + 17};
  if (shape.channels < 1 || shape.channels > 255 || shape.days < 1 || shape.days > 14 ||
      shape.events_per_day < 1 || shape.events_per_day > 1440) {
    fprintf(stderr, "random guide: channels 1..255, days 1..14, events per day 1..1440\n");
    return 0;
  }
  const size_t pool = sizeof(kChannelNames) / sizeof(kChannelNames[0]);
  for (int c = 0; c < shape.channels; c++) {
    SimChannel ch;
    ch.nid = 0x0001;
    ch.tsid = (uint16_t)(0x0400 + c / 12);
    ch.sid = (uint16_t)(0x1F41 + c * 3);
    ch.word4 = (uint16_t)(0x0100 + c);
    std::string name = kChannelNames[c % pool];
    if ((size_t)c >= pool) name = "Canal " + std::to_string(c + 1);
    ch.name = GenLatin1(name);
    guide->channels.push_back(ch);
  }
  const uint32_t end = shape.start_day + (uint32_t)shape.days * 86400u;
  const uint32_t three_days = shape.start_day + 3u * 86400u;
  const uint32_t avg = (uint32_t)(1440 / shape.events_per_day) ? (uint32_t)(1440 / shape.events_per_day) : 1;
  uint32_t next_event_id = 0x00A00000u + (shape.seed & 0xFFF) * 0x1000u;
  uint32_t next_id3 = 1;
  int big_left = shape.big ? 2 : 0;
  for (int c = 0; c < shape.channels; c++) {
    std::vector<size_t> channel_summaries; /* summaries this channel has shown */
    std::map<size_t, std::string> summary_title;
    uint32_t t = shape.start_day + (uint32_t)(c % 6) * 300u;
    while (t < end) {
      uint32_t dur = avg / 2 + rnd.Below(avg + 1);
      if (avg >= 10) dur = (dur + 4) / 5 * 5;
      if (dur == 0) dur = 1;
      SimEvent e;
      e.channel = c;
      e.start = t;
      e.duration = (uint16_t)dur;
      e.event_id = next_event_id++;
      e.in3 = t < three_days;
      e.in7 = true;
      e.newbyte = (uint8_t)rnd.Below(256);
      e.summary_id = 0xFFFFFF;
      e.summary_id_3d = 0xFFFF;
      if (rnd.Chance(shape.duplicate_share)) e.copies = 2;
      size_t s_index = (size_t)-1;
      if (rnd.Chance(shape.summary_share)) {
        if (!channel_summaries.empty() && rnd.Chance(shape.repeat_share)) {
          s_index = channel_summaries[rnd.Below((uint32_t)channel_summaries.size())];
          e.title = summary_title[s_index];
        } else {
          SimSummary s;
          e.title = GenTitle(&rnd, rnd.Chance(shape.long_title_share));
          s.key = "s" + std::to_string(guide->summaries.size() + 1);
          s.title = e.title.substr(0, 60);
          if (big_left > 0) {
            /* Fills both summary sections to exactly 4096 bytes. */
            big_left--;
            s.title = GenFill(&rnd, 236);
            for (int i = 0; i < 15; i++) s.lines.push_back(GenFill(&rnd, 255));
            s.text7 = GenFill(&rnd, 4096 - 22 - 236 - 4);
          } else if (shape.continuations && rnd.Chance(0.05)) {
            for (int i = 0; i < 15 + 1 + (int)rnd.Below(6); i++)
              s.lines.push_back(GenLatin1(rnd.Pick(kSentences)));
            s.text7 = GuideJoinLines(s.lines);
          } else {
            s.lines = GenLines(&rnd, 1 + (int)rnd.Below(5));
            s.text7 = GuideJoinLines(s.lines);
          }
          s.has_id7 = true;
          s.id7 = 0x010000u + (uint32_t)guide->summaries.size();
          if (s.id7 > 0xFFFFFEu) {
            fprintf(stderr, "random guide: more summaries than 24-bit ids\n");
            return 0;
          }
          s_index = guide->summaries.size();
          guide->summaries.push_back(s);
          channel_summaries.push_back(s_index);
          summary_title[s_index] = e.title;
        }
        SimSummary &s = guide->summaries[s_index];
        e.summary_id = s.id7;
        if (e.in3) {
          if (!s.has_id3) {
            if (next_id3 > 0xFFFE) {
              fprintf(stderr, "random guide: more 3-day summaries than 16-bit ids\n");
              return 0;
            }
            s.has_id3 = true;
            s.id3 = (uint16_t)next_id3++;
          }
          e.summary_id_3d = s.id3;
        }
      } else {
        e.title = GenTitle(&rnd, rnd.Chance(shape.long_title_share));
      }
      e.summary_id2 = e.summary_id_3d;
      guide->events.push_back(e);
      t += dur * 60u;
    }
  }
  return GuideCheck(*guide);
}
