// English function words. Queries to a tool registry are phrased as requests ("could you
// help me find ...") while capabilities are phrased as descriptions; the words that carry the
// phrasing and none of the topic are dropped. Content verbs and nouns ("find", "help", "data")
// stay: their weight is left to inverse document frequency.
#include <string_view>
#include <unordered_set>

#include "text/analysis.hpp"

namespace kova::text {

namespace {

// clang-format off
constexpr std::string_view kEnglish[] = {
    // articles and determiners
    "a", "an", "the", "this", "that", "these", "those", "some", "any", "each", "every", "either",
    "neither", "no", "both", "all", "another", "other", "others", "such", "same", "own", "few",
    "several", "many", "much", "more", "most", "less", "least", "enough", "certain",
    // personal, possessive and reflexive pronouns
    "i", "me", "my", "mine", "myself", "we", "us", "our", "ours", "ourselves", "you", "your",
    "yours", "yourself", "yourselves", "he", "him", "his", "himself", "she", "her", "hers",
    "herself", "it", "its", "itself", "they", "them", "their", "theirs", "themselves", "one",
    "ones", "oneself",
    // interrogative, relative and indefinite pronouns
    "who", "whom", "whose", "which", "what", "whatever", "whichever", "whoever", "someone",
    "somebody", "something", "anyone", "anybody", "anything", "everyone", "everybody",
    "everything", "nobody", "nothing", "none",
    // auxiliaries and modals
    "be", "am", "is", "are", "was", "were", "been", "being", "have", "has", "had", "having", "do",
    "does", "did", "doing", "will", "would", "shall", "should", "can", "could", "may", "might",
    "must", "ought", "cannot",
    // contractions
    "i'm", "i've", "i'd", "i'll", "you're", "you've", "you'd", "you'll", "he's", "he'd", "he'll",
    "she's", "she'd", "she'll", "it's", "it'd", "it'll", "we're", "we've", "we'd", "we'll",
    "they're", "they've", "they'd", "they'll", "that's", "there's", "here's", "what's", "who's",
    "where's", "when's", "why's", "how's", "let's", "isn't", "aren't", "wasn't", "weren't",
    "hasn't", "haven't", "hadn't", "doesn't", "don't", "didn't", "won't", "wouldn't", "shan't",
    "shouldn't", "can't", "couldn't", "mightn't", "mustn't", "needn't",
    // prepositions
    "about", "above", "across", "after", "against", "along", "amid", "among", "amongst",
    "around", "as", "at", "before", "behind", "below", "beneath", "beside", "besides", "between",
    "beyond", "by", "despite", "down", "during", "except", "for", "from", "in", "inside", "into",
    "like", "near", "of", "off", "on", "onto", "out", "outside", "over", "past", "per", "since",
    "than", "through", "throughout", "till", "to", "toward", "towards", "under", "underneath",
    "unlike", "until", "up", "upon", "via", "with", "within", "without",
    // conjunctions
    "and", "but", "or", "nor", "so", "yet", "because", "although", "though", "while", "whilst",
    "whereas", "if", "unless", "whether", "once", "lest",
    // adverbs that only place, time, degree or connect
    "here", "there", "where", "when", "why", "how", "then", "now", "again", "also", "already",
    "always", "ever", "never", "just", "only", "even", "still", "too", "very", "quite", "rather",
    "really", "almost", "else", "however", "therefore", "thus", "hence", "otherwise", "instead",
    "meanwhile", "perhaps", "maybe", "indeed", "namely", "not", "yes", "please",
    "wherever", "whenever", "somewhere", "anywhere", "everywhere", "nowhere",
};
// clang-format on

}  // namespace

bool is_english_stop_word(std::string_view word) {
  static const std::unordered_set<std::string_view> words(std::begin(kEnglish), std::end(kEnglish));
  return words.contains(word);
}

}  // namespace kova::text
